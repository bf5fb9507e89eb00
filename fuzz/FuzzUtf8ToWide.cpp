// Utf8ToWide (the project's own decoder on this platform) against the reference decoder: the same
// UTF-16 for every input, including malformed ones, embedded zero bytes and surrogate pairs. Encoded
// back to UTF-8, as every box and log text is, it gives the reference's well-formed text.

#include "FuzzSupport.h"
#include "ReferenceUtf8.h"

#include <qor/Foundation/Foundation.h>
#include <qor/Foundation/Utf8.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using QOR::Fuzzing::Fail;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const QOR::WideTextResult result = QOR::Utf8ToWide(input);
    if (result.error)
        Fail("Utf8ToWide reported an error; the decoder replaces malformed text instead");

    const std::vector<char32_t> codePoints = QOR::Testing::ReferenceCodePoints(input);
    if (result.text != QOR::Testing::ToUtf16(codePoints))
        Fail("Utf8ToWide differs from the reference decoder");
    if (QOR::EncodeUtf8(result.text) != QOR::Testing::ToUtf8(codePoints))
        Fail("EncodeUtf8 differs from the reference encoder");
    // Each input byte yields at most one code unit; the size query relies on it.
    if (result.text.size() > input.size())
        Fail("more code units than input bytes");
    return 0;
}
