// The names a shared library exports, read from its dynamic symbol table,
// so that qmx-call --check can tell a provider that exports more than its
// factory (a host resolves our names against whatever else it exports).

#ifndef QMX_TOOLS_QMX_CALL_ELF_EXPORTS_H_
#define QMX_TOOLS_QMX_CALL_ELF_EXPORTS_H_

#include <string>
#include <vector>

namespace qmx {
namespace call {

// The defined global and weak symbols of default or protected visibility
// in image, the bytes of a 32- or 64-bit ELF file of this machine's byte
// order. False with *error when image is not such a file or its dynamic
// symbol table lies outside it.
bool ExportedSymbols(const std::string& image, std::vector<std::string>* names,
                     std::string* error);

}  // namespace call
}  // namespace qmx

#endif  // QMX_TOOLS_QMX_CALL_ELF_EXPORTS_H_
