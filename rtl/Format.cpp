#include "Format.h"

#include "Exceptions.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace {

struct Directive {
    bool leftJustify = false;
    bool zeroPad = false;
    int width = -1;
    int precision = -1;
    char type = 0;
};

class Formatter {
public:
    Formatter(std::string_view fmt, const TVarArgs& args) : fmt_(fmt), args_(args) {}

    std::string Run()
    {
        while (pos_ < fmt_.size()) {
            const char c = fmt_[pos_++];
            if (c != '%')
                out_ += c;
            else if (pos_ < fmt_.size() && fmt_[pos_] == '%')
                out_ += fmt_[pos_++];
            else
                Convert(Parse());
        }
        return std::move(out_);
    }

private:
    [[noreturn]] void Invalid() const
    {
        throw EConvertError("Format '" + std::string(fmt_) + "' invalid or incompatible with argument");
    }

    const TVarRec& NextArg()
    {
        if (next_ >= args_.size())
            throw EConvertError("No argument for format '" + std::string(fmt_) + "'");
        return args_[next_++];
    }

    // Digits at the cursor, or -1 when there are none.
    int Number()
    {
        if (pos_ >= fmt_.size() || !std::isdigit(static_cast<unsigned char>(fmt_[pos_])))
            return -1;
        int64_t value = 0;
        while (pos_ < fmt_.size() && std::isdigit(static_cast<unsigned char>(fmt_[pos_]))) {
            value = value * 10 + (fmt_[pos_++] - '0');
            if (value > 1 << 20)
                Invalid();
        }
        return int(value);
    }

    // A width or precision: digits, or "*" taking the next argument.
    int Amount()
    {
        if (pos_ < fmt_.size() && fmt_[pos_] == '*') {
            ++pos_;
            const TVarRec& arg = NextArg();
            if (arg.kind() == TVarRec::Kind::Integer && arg.integer() >= 0 && arg.integer() <= 1 << 20)
                return int(arg.integer());
            if (arg.kind() == TVarRec::Kind::Unsigned && arg.unsignedValue() <= 1 << 20)
                return int(arg.unsignedValue());
            Invalid();
        }
        return Number();
    }

    Directive Parse()
    {
        Directive d;
        // An argument index: "%1:s".
        const size_t start = pos_;
        const int index = Number();
        if (index >= 0 && pos_ < fmt_.size() && fmt_[pos_] == ':') {
            ++pos_;
            next_ = size_t(index);
        } else {
            pos_ = start;
        }
        if (pos_ < fmt_.size() && fmt_[pos_] == '-') {
            d.leftJustify = true;
            ++pos_;
        }
        if (pos_ < fmt_.size() && fmt_[pos_] == '0')
            d.zeroPad = true;
        d.width = Amount();
        if (pos_ < fmt_.size() && fmt_[pos_] == '.') {
            ++pos_;
            d.precision = Amount();
            if (d.precision < 0)
                d.precision = 0;
        }
        if (pos_ >= fmt_.size())
            Invalid();
        d.type = char(std::tolower(static_cast<unsigned char>(fmt_[pos_++])));
        return d;
    }

    static std::string Digits(uint64_t value, unsigned base)
    {
        static const char digits[] = "0123456789ABCDEF";
        std::string text;
        do {
            text.insert(text.begin(), digits[value % base]);
            value /= base;
        } while (value != 0);
        return text;
    }

    // The value as the unsigned number that %u and %x show: a negative
    // 32-bit value reads as its 32-bit pattern, a wider one as 64 bits.
    static uint64_t AsUnsigned(const TVarRec& arg)
    {
        if (arg.kind() != TVarRec::Kind::Integer || arg.integer() >= 0)
            return arg.kind() == TVarRec::Kind::Integer ? uint64_t(arg.integer()) : arg.unsignedValue();
        if (arg.integer() >= INT32_MIN)
            return uint32_t(int32_t(arg.integer()));
        return uint64_t(arg.integer());
    }

    std::string Number(const Directive& d, const TVarRec& arg)
    {
        if (arg.kind() != TVarRec::Kind::Integer && arg.kind() != TVarRec::Kind::Unsigned)
            Invalid();
        bool negative = false;
        std::string digits;
        if (d.type == 'd' && arg.kind() == TVarRec::Kind::Integer && arg.integer() < 0) {
            negative = true;
            digits = Digits(0 - uint64_t(arg.integer()), 10);
        } else {
            digits = Digits(AsUnsigned(arg), d.type == 'x' ? 16 : 10);
        }
        int minDigits = d.precision;
        if (d.zeroPad && !d.leftJustify && d.width > 0)
            minDigits = std::max(minDigits, d.width - (negative ? 1 : 0));
        if (int(digits.size()) < minDigits)
            digits.insert(0, size_t(minDigits) - digits.size(), '0');
        return negative ? "-" + digits : digits;
    }

    void Convert(const Directive& d)
    {
        std::string text;
        switch (d.type) {
        case 'd':
        case 'u':
        case 'x':
            text = Number(d, NextArg());
            break;
        case 's': {
            const TVarRec& arg = NextArg();
            if (arg.kind() != TVarRec::Kind::String)
                Invalid();
            text = arg.string();
            if (d.precision >= 0 && size_t(d.precision) < text.size())
                text.resize(size_t(d.precision));
            break;
        }
        case 'p': {
            const TVarRec& arg = NextArg();
            if (arg.kind() != TVarRec::Kind::Pointer)
                Invalid();
            text = Digits(arg.unsignedValue(), 16);
            text.insert(0, sizeof(void*) * 2 - text.size(), '0');
            break;
        }
        default:
            Invalid();
        }
        if (d.width > 0 && int(text.size()) < d.width) {
            const size_t fill = size_t(d.width) - text.size();
            if (d.leftJustify)
                text.append(fill, ' ');
            else
                text.insert(0, fill, ' ');
        }
        out_ += text;
    }

    std::string_view fmt_;
    const TVarArgs& args_;
    size_t pos_ = 0;
    size_t next_ = 0;
    std::string out_;
};

} // namespace

std::string Format(std::string_view fmt, const TVarArgs& args)
{
    return Formatter(fmt, args).Run();
}
