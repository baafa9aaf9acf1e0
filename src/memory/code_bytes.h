// How often each byte value occurs in real x86-64 machine code, in parts per
// million: the signature search filters on the fixed bytes that are rarest
// here, whatever their place in the signature. Measured by
// tools/code-byte-frequencies over the executable sections of Wine's own
// Windows modules (Wine 8.0, Debian's wine64 package, built by GCC for
// MinGW) and of an MSVC-built program (duckdb 1.5.5's DLL, as `make bench`
// fetches it), each weighing the same: games are built by MSVC.
// 53945472 bytes of code in 677 modules of /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
// 25965820 bytes of code in duckdb-1.5.5-r.5.dll
// Regenerate with that tool when the table should follow newer code.
#pragma once

#include <cstdint>

namespace memory {

// clang-format off
inline constexpr std::uint32_t kCodeByteFrequency[256] = {
    119234, 18174, 6176, 7442, 6513, 8151, 3471, 2700, 9080, 1928, 1540, 1452, 2702, 4248, 1180, 30264,
    8184, 2857, 784, 897, 1583, 5164, 762, 797, 3207, 758, 622, 701, 1052, 854, 716, 6616,
    7138, 575, 634, 594, 29284, 1588, 447, 929, 5015, 1568, 810, 1961, 801, 752, 1428, 635,
    5248, 3380, 621, 3297, 829, 680, 493, 503, 3942, 1888, 529, 3462, 1107, 864, 535, 1158,
    6537, 13101, 1666, 2893, 14104, 6250, 1644, 1633, 82339, 11270, 1159, 1434, 22187, 6549, 1099, 943,
    4000, 1165, 615, 2314, 4051, 3124, 2665, 3046, 2573, 1099, 566, 2538, 3354, 2505, 3000, 2700,
    2387, 424, 436, 944, 1014, 998, 7043, 445, 1738, 552, 389, 556, 1564, 510, 723, 778,
    1957, 502, 1628, 1152, 6994, 4987, 1143, 954, 1733, 639, 490, 741, 1822, 1124, 852, 1040,
    4277, 2804, 909, 14165, 8961, 9434, 899, 1218, 2655, 30271, 666, 40452, 1662, 23317, 593, 677,
    13902, 477, 455, 531, 1576, 755, 468, 633, 1267, 442, 353, 349, 946, 460, 390, 538,
    1393, 378, 355, 605, 602, 490, 481, 509, 1253, 402, 798, 480, 702, 402, 401, 801,
    1418, 468, 616, 529, 762, 463, 3258, 1863, 2903, 2823, 2264, 648, 1041, 611, 695, 911,
    8862, 6211, 3415, 6543, 4414, 1364, 2904, 4972, 3900, 3154, 1174, 2472, 10873, 1305, 1883, 2304,
    2870, 1537, 2579, 1366, 629, 915, 1299, 1369, 2222, 1858, 1120, 1537, 544, 605, 730, 968,
    2335, 1107, 1017, 665, 769, 530, 524, 714, 17130, 5604, 1279, 3948, 3113, 1047, 584, 999,
    2981, 1589, 2225, 3115, 595, 639, 3331, 1329, 4213, 2117, 2441, 1184, 1186, 1583, 4320, 35170,
};
// clang-format on

}  // namespace memory
