// Without MultiByteToWideChar the project's own codec stands in for the system converter.
#include "FoundationDetail.h"
#include "qor/Foundation/Utf8.h"

namespace QOR::Detail
{
    namespace
    {
        class CodecConverter final : public SystemTextConverter
        {
        public:
            int Convert(std::string_view utf8, char16_t* out, int outCapacity) override
            {
                // Each input byte gives at most one code unit, and the input is at most INT_MAX bytes.
                const auto needed = static_cast<int>(DecodeUtf8(utf8, nullptr));
                if (out == nullptr)
                    return needed;
                if (outCapacity < needed)
                    return 0;
                return static_cast<int>(DecodeUtf8(utf8, out));
            }

            std::uint32_t LastError() override { return ErrorInsufficientBuffer; }
        };
    }

    SystemTextConverter& NativeTextConverter()
    {
        static CodecConverter converter;
        return converter;
    }
}

namespace QOR
{
    std::string SystemErrorText(const std::error_code& error)
    {
        return error.message();
    }
}
