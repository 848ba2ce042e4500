// Shown strings of Type0 fonts with a predefined encoding CMap: the first
// byte picks the map, the rest is split into codes by its codespace, and
// each code goes to a CID and through the collection to Unicode.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fonts/cid_collections.h"
#include "fonts/predefined_cmaps.h"

namespace {

constexpr std::string_view kMaps[] = {
    "90ms-RKSJ-H",    "90ms-RKSJ-V",   "UniJIS-UCS2-H", "UniJIS-UTF16-V", "EUC-H",
    "UniGB-UCS2-H",   "UniGB-UTF16-V", "GBK-EUC-H",     "GBK2K-V",        "UniCNS-UCS2-H",
    "UniCNS-UTF16-H", "ETen-B5-V",     "HKscs-B5-H",    "UniKS-UCS2-V",   "UniKS-UTF16-H",
    "KSCms-UHC-H",    "83pv-RKSJ-H",   "Add-RKSJ-V",
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const quarvel::PredefinedCMap* m =
        quarvel::find_predefined_cmap(kMaps[data[0] % std::size(kMaps)]);
    if (m == nullptr) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    while (!rest.empty()) {
        const std::size_t n = m->code_length(rest);
        if (n == 0 || n > rest.size()) __builtin_trap(); // reading must always move on
        std::uint32_t code = 0;
        for (unsigned char b : rest.substr(0, n))
            code = (code << 8) | b;
        if (const auto cid = m->cid(code, n)) {
            (void)quarvel::cid_to_unicode(m->registry_ordering, *cid);
            (void)quarvel::cid_to_unicode_sequence(m->registry_ordering, *cid);
        }
        rest.remove_prefix(n);
    }
    return 0;
}
