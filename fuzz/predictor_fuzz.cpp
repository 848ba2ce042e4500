// The full reader's filter chain with decode parameters: the first bytes of
// the input choose the filter and the predictor's parameters, the rest is
// the stream body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "syntax/filters.h"
#include "syntax/types.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    using quarvel::PdfObject;
    constexpr std::string_view kFilters[] = {"FlateDecode", "LZWDecode", "ASCIIHexDecode",
                                             "RunLengthDecode"};
    constexpr std::int64_t kPredictors[] = {1, 2, 10, 11, 12, 13, 14, 15};
    constexpr std::int64_t kBits[] = {1, 2, 4, 8, 16, 3};
    quarvel::PdfDict parms;
    parms.push_back({"Predictor", PdfObject::integer(kPredictors[data[1] % 8])});
    parms.push_back({"Colors", PdfObject::integer(data[2] % 6)});
    parms.push_back({"BitsPerComponent", PdfObject::integer(kBits[data[3] % 6])});
    parms.push_back({"Columns", PdfObject::integer(std::int64_t{data[4]} * 7 - 3)});
    parms.push_back({"EarlyChange", PdfObject::integer(data[5] & 1)});
    const PdfObject filter = PdfObject::name(kFilters[data[0] % 4]);
    const PdfObject parameters = PdfObject::dictionary(std::move(parms));
    const std::string_view body(reinterpret_cast<const char*>(data) + 6, size - 6);
    auto decoded = quarvel::decode_filters(body, &filter, &parameters, 1 << 20);
    (void)decoded;
    return 0;
}
