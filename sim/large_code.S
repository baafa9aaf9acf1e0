// 128 MiB more of executable image for the stand-in game's large build, which
// measures what a missing function costs the plug-in in a game with that much
// code: uninitialized, so the file stays small; the game fills it at start
// (zero pages would all be one page, in cache, and flatter the search).
    .section .lcode,"bx"
    .p2align 12
    .globl gameLargeCode
gameLargeCode:
    .space 128 * 1024 * 1024
