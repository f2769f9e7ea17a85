// TLS for the listener: TLS 1.2 or later with forward-secret AEAD cipher
// suites only, no renegotiation, from a certificate chain and a key in PEM
// files. When none is configured, a self-signed pair (EC P-256, ten years,
// the host's name, localhost, 127.0.0.1 and ::1 as subject alternative
// names) is made on the first start and kept in the state folder as
// "tls.crt" and "tls.key" (mode 0600), as management controllers do.
#ifndef KTZREDFISH_TLS_H
#define KTZREDFISH_TLS_H

#include <boost/asio/ssl/context.hpp>
#include <string>

namespace ktzredfish
{

bool LoadTls(boost::asio::ssl::context& ctx, const std::string& certFile, const std::string& keyFile,
             std::string* error);

// The pair in `dir`, made first when it is not there; *created says which.
bool EnsureSelfSigned(const std::string& dir, std::string* certFile, std::string* keyFile, bool* created,
                      std::string* error);

} // namespace ktzredfish

#endif
