// The resolved hostname list of -a: each entry with the name its address resolves back to.
#include "hosts/host_list.h"
#include "support/output_sink.h"
#include "support/platform.h"
#include "support/printable_text.h"

namespace quilvane {

void printResolvedHostList(const HostList& list, bool resolveNames, FamilyChoice family) {
    if (!resolveNames) return;
    printMessage("Resolved hostname list:\n");
    for (size_t index = 0; index < list.size(); ++index) {
        std::string text = list.entry(index);
        SystemResult<HostEntry> host = platform().getHostByName(text, family);
        if (!host.ok()) continue;
        std::optional<std::string> name = platform().getHostByAddr(host.value.address);
        if (name) {
            printMessage("%s [%s]\n", printableText(*name).c_str(), printableText(text).c_str());
        } else {
            printMessage("%s\n", printableText(text).c_str());
        }
    }
    printMessage("\n");
}

}  // namespace quilvane
