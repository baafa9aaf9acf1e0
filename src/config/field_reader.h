// The settings file's field grammar, written out by hand so that every input
// gives the same result in both builds, independent of the C++ library's
// formatted extraction and of any locale.
#pragma once

#include <cstdint>

#include "config/char_source.h"

namespace config {

class FieldReader {
public:
    // A null source is a file that did not open: every field then fails.
    explicit FieldReader(CharSource* source) : source_(source), failed_(source == nullptr) {}

    // Integer field: optional sign, one or more decimal digits. Out of range
    // clamps to the 32-bit limit and fails; no digit gives 0 and fails.
    void readInt(std::int32_t& target);

    // Float field: optional sign, digits with an optional point (a digit on
    // either side), optional exponent. No digit, a bare exponent marker or a
    // value beyond float range or rounding to zero gives 0.0 and fails.
    void readFloat(float& target);

    bool good() const { return !failed_ && !atEnd_; }
    bool failed() const { return failed_; }
    bool atEnd() const { return atEnd_; }

private:
    // Steps shared by both fields: refuse after a failure or the end, then
    // skip white space; false when the field cannot start.
    bool beginField();
    int peek();
    void take() { source_->advance(); }

    CharSource* source_;
    bool failed_;
    bool atEnd_ = false;
};

}  // namespace config
