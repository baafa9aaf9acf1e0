#include "config/nearest_float.h"

#include <bit>
#include <limits>

namespace config {
namespace {

// An unsigned integer of up to kLimbs x 32 bits, least significant limb first.
// Big enough for 801 digits scaled by 2^150 and for 10^846 (under 2,900 bits).
class BigNumber {
public:
    static constexpr int kLimbs = 96;

    void multiplyAdd(std::uint32_t factor, std::uint32_t addend) {
        std::uint64_t carry = addend;
        for (int i = 0; i < used_; ++i) {
            const std::uint64_t product = std::uint64_t{limbs_[i]} * factor + carry;
            limbs_[i] = static_cast<std::uint32_t>(product);
            carry = product >> 32;
        }
        if (carry != 0 && used_ < kLimbs) limbs_[used_++] = static_cast<std::uint32_t>(carry);
    }

    void multiplyByPowerOfTen(std::int64_t exponent) {
        for (; exponent >= 9; exponent -= 9) multiplyAdd(1000000000u, 0);
        for (; exponent > 0; --exponent) multiplyAdd(10u, 0);
    }

    void shiftLeft(int bits) {
        const int whole = bits / 32;
        const int part = bits % 32;
        for (int i = used_ - 1 + whole + 1; i >= 0; --i) {
            if (i >= kLimbs) continue;
            const int from = i - whole;
            const std::uint64_t high = from >= 0 && from < used_ ? limbs_[from] : 0u;
            const std::uint64_t low = from - 1 >= 0 && from - 1 < used_ ? limbs_[from - 1] : 0u;
            limbs_[i] = static_cast<std::uint32_t>(((high << 32 | low) << part) >> 32);
        }
        used_ = used_ + whole + 1 < kLimbs ? used_ + whole + 1 : kLimbs;
        trim();
    }

    BigNumber shiftedRight(int bits) const {
        BigNumber result;
        const int whole = bits / 32;
        const int part = bits % 32;
        for (int i = whole; i < used_; ++i) {
            const std::uint64_t high = i + 1 < used_ ? limbs_[i + 1] : 0u;
            result.limbs_[i - whole] = static_cast<std::uint32_t>((high << 32 | limbs_[i]) >> part);
        }
        result.used_ = used_ > whole ? used_ - whole : 0;
        result.trim();
        return result;
    }

    int bitLength() const { return used_ == 0 ? 0 : 32 * (used_ - 1) + (32 - std::countl_zero(limbs_[used_ - 1])); }
    bool bit(int index) const { return index / 32 < used_ && ((limbs_[index / 32] >> (index % 32)) & 1u) != 0; }
    void setBit(int index) {
        while (used_ <= index / 32) limbs_[used_++] = 0;
        limbs_[index / 32] |= 1u << (index % 32);
    }
    bool isZero() const { return used_ == 0; }

    // Remainder step of a long division: this = this * 2 + bit.
    void doubleAdd(bool bit) {
        shiftLeft(1);
        if (bit) {
            if (used_ == 0) used_ = 1;
            limbs_[0] |= 1u;
        }
    }

    bool atLeast(const BigNumber& other) const {
        if (used_ != other.used_) return used_ > other.used_;
        for (int i = used_ - 1; i >= 0; --i)
            if (limbs_[i] != other.limbs_[i]) return limbs_[i] > other.limbs_[i];
        return true;
    }

    void subtract(const BigNumber& other) {  // requires *this >= other
        std::int64_t borrow = 0;
        for (int i = 0; i < used_; ++i) {
            std::int64_t difference = std::int64_t{limbs_[i]} - borrow - (i < other.used_ ? other.limbs_[i] : 0u);
            borrow = difference < 0 ? 1 : 0;
            limbs_[i] = static_cast<std::uint32_t>(difference + (borrow << 32));
        }
        trim();
    }

    // The low 64 bits of this number shifted right by `bits`.
    std::uint64_t bitsFrom(int bits) const {
        std::uint64_t value = 0;
        for (int i = 63; i >= 0; --i) value = value << 1 | (bit(bits + i) ? 1u : 0u);
        return value;
    }

private:
    void trim() {
        while (used_ > 0 && limbs_[used_ - 1] == 0) --used_;
    }

    std::uint32_t limbs_[kLimbs] = {};
    int used_ = 0;
};

// Values are handled in units of 2^-150, half the smallest subnormal float,
// so that the last bit kept is always a rounding bit.
constexpr int kUnitExponent = 150;

}  // namespace

float nearestFloat(const char* digits, std::size_t count, std::int64_t pointPosition) {
    // With a leading digit that is not zero, 10^(p-1) <= value < 10^p: beyond
    // 10^39 every value overflows, below 10^-46 every value rounds to zero.
    if (pointPosition > 39) return std::numeric_limits<float>::infinity();
    if (pointPosition < -45) return 0.0f;

    // value = n x 10^scale, n the digits as an integer.
    const std::int64_t scale = pointPosition - static_cast<std::int64_t>(count);
    BigNumber numerator;
    for (std::size_t i = 0; i < count; ++i) numerator.multiplyAdd(10u, static_cast<std::uint32_t>(digits[i] - '0'));
    BigNumber denominator;
    denominator.multiplyAdd(0u, 1u);
    if (scale >= 0)
        numerator.multiplyByPowerOfTen(scale);
    else
        denominator.multiplyByPowerOfTen(-scale);
    numerator.shiftLeft(kUnitExponent);

    // quotient = floor(value x 2^150), by binary long division; the quotient
    // stays under 2^280 because the value is under 10^39. Bits above the
    // quotient's highest possible one go to the remainder at once.
    BigNumber quotient;
    const int quotientBits = numerator.bitLength() - denominator.bitLength() + 1;
    BigNumber remainder = numerator.shiftedRight(quotientBits > 0 ? quotientBits : 0);
    for (int i = (quotientBits > 0 ? quotientBits : 0) - 1; i >= 0; --i) {
        remainder.doubleAdd(numerator.bit(i));
        if (remainder.atLeast(denominator)) {
            remainder.subtract(denominator);
            quotient.setBit(i);
        }
    }
    const bool sticky = !remainder.isZero();

    // Keep 24 significant bits, or down to 2^-149 for subnormals, and round
    // the rest to nearest, ties to even.
    const int length = quotient.bitLength();
    const int shift = length - 24 > 1 ? length - 24 : 1;
    std::uint64_t mantissa = quotient.bitsFrom(shift);
    const bool half = quotient.bit(shift - 1);
    bool below = sticky;
    for (int i = 0; i < shift - 1 && !below; ++i) below = quotient.bit(i);
    if (half && (below || (mantissa & 1u) != 0)) ++mantissa;

    // mantissa x 2^(shift - 150): for a 24-bit mantissa the biased exponent is
    // `shift`, and a carry into bit 24 or out of the subnormals lands right.
    const std::uint64_t bits = (static_cast<std::uint64_t>(shift - 1) << 23) + mantissa;
    if (bits >= 0x7F800000u) return std::numeric_limits<float>::infinity();
    return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
}

}  // namespace config
