// The log line's JSON escaping: whatever the text, the escaped form inside quotation marks is one
// valid JSON string (checked by the tests' strict JSON reader), and decoding it gives back the text,
// with U+FFFD for each ill-formed UTF-8 subpart (checked by the reference decoder). The quick check
// agrees with the rewrite.

#include "FuzzSupport.h"
#include "JsonReader.h"
#include "ReferenceUtf8.h"

#include "qor/Logging/JsonEscape.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using QOR::Fuzzing::Fail;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // Appends: what the buffer already holds must stay.
    std::string line = "\"";
    QOR::AppendJsonEscaped(line, input);
    line += '"';

    const std::optional<std::string> parsed = QOR::Testing::ParseJsonString(line);
    if (!parsed)
        Fail("the escaped text is not one valid JSON string");
    if (*parsed != QOR::Testing::ToUtf8(QOR::Testing::ReferenceCodePoints(input)))
        Fail("decoding the escaped text does not give back the input (with U+FFFD for invalid UTF-8)");

    const std::string_view body(line.data() + 1, line.size() - 2);
    const bool rewritten = body != input;
    if (QOR::NeedsJsonEscaping(input) != rewritten)
        Fail("NeedsJsonEscaping disagrees with what AppendJsonEscaped changes");
    if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos)
        Fail("a line break survived the escaping");
    return 0;
}
