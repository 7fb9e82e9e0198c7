// One exchange with the update service for a host program that must say why
// it failed (qmx-call --check): CFileTransfer only traces the reason, since
// a provider acts on the result alone.

#ifndef QMX_RUNTIME_SERVICE_EXCHANGE_H_
#define QMX_RUNTIME_SERVICE_EXCHANGE_H_

#include <string>

#pragma GCC visibility push(default)

namespace qmx {

// Why an exchange failed, so that a person can be told what to do.
enum class ExchangeFault {
  kNone,
  kNotPermitted,  // this user may not connect to the socket
  kDistrusted,    // the socket's folder, or whoever listens there, is not
                  // trusted: nothing was sent
  kOther,
};

// Sends request and reads the whole reply over the same transport, with the
// same settings from configPath (under QMX_ROOT) and the same 4 MiB room for
// a reply, as a CFileTransfer made with those arguments. True with *reply;
// false with *failure saying which step failed, as the trace line under
// componentName says it, and *fault why.
bool ExchangeWithService(const std::string& componentName,
                         const std::string& configPath,
                         const std::string& request, std::string* reply,
                         std::string* failure, ExchangeFault* fault);

}  // namespace qmx

#pragma GCC visibility pop

#endif  // QMX_RUNTIME_SERVICE_EXCHANGE_H_
