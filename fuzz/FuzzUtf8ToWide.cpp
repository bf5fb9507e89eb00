// Utf8ToWide (the project's own decoder on this platform) against the reference decoder: the same
// UTF-16 for every input, including malformed ones, embedded zero bytes and surrogate pairs.

#include "ReferenceUtf8.h"

#include <qor/Foundation/Foundation.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const QOR::WideTextResult result = QOR::Utf8ToWide(input);
    if (result.error)
        QOR::Fuzzing::Fail("Utf8ToWide reported an error; the decoder replaces malformed text instead");

    const std::u16string expected = QOR::Fuzzing::ToUtf16(QOR::Fuzzing::ReferenceCodePoints(input));
    if (result.text != expected)
        QOR::Fuzzing::Fail("Utf8ToWide differs from the reference decoder");
    // Each input byte yields at most one code unit; the size query relies on it.
    if (result.text.size() > input.size())
        QOR::Fuzzing::Fail("more code units than input bytes");
    return 0;
}
