// The web application's files, read into memory once at the start from one
// folder (--web-root) and served at every path outside /redfish. Nothing is
// read from the disk afterwards, so the I/O thread never waits for a file,
// and no request can reach a file that was not loaded: a request path is
// looked up among the loaded names, never joined to a folder name.
//
// What is loaded: regular files whose name ends in a known extension (the
// content type comes from it), below the folder and at most kMaxWebDepth
// folders deep; names starting with '.' are skipped, and so is any symbolic
// link whose target lies outside the folder. Bounds: kMaxWebFiles files,
// each at most kMaxWebFileBytes, kMaxWebTotalBytes in all; a tree beyond any
// of them is refused as a whole.
//
// Served: GET and HEAD (anything else 405 with Allow); "/" and a folder's
// path ending in '/' give that folder's index.html; no folder is ever
// listed. Every answer carries a strict Content-Security-Policy (only this
// origin's scripts, styles, images and connections; no inline script, no
// framing), X-Content-Type-Options: nosniff, Referrer-Policy: no-referrer
// and Cache-Control: no-cache.
#ifndef KTZREDFISH_WEBROOT_H
#define KTZREDFISH_WEBROOT_H

#include "http.h"
#include "target.h"

#include <cstddef>
#include <map>
#include <string>

namespace ktzredfish
{

inline constexpr size_t kMaxWebFiles = 256;
inline constexpr size_t kMaxWebFileBytes = 2 * 1024 * 1024;
inline constexpr size_t kMaxWebTotalBytes = 8 * 1024 * 1024;
inline constexpr size_t kMaxWebDepth = 8;
inline constexpr const char* kDefaultWebRoot = "/usr/share/ktzmon/web";
inline constexpr const char* kWebContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "font-src 'self'; manifest-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

class WebRoot
{
  public:
    // Reads the tree under `dir`. False, with the reason in *why, when the
    // folder cannot be read or the tree is beyond a bound; the tree is then
    // empty. Files skipped for being links out of the tree or of an unknown
    // type are named in *skipped (one "path: reason" line each).
    bool Load(const std::string& dir, std::string* why, std::string* skipped = nullptr);

    bool empty() const { return files_.empty(); }
    size_t files() const { return files_.size(); }

    // The answer to a request for `target`: the file, 404 (plain text) or
    // 405.
    Response Serve(Method method, const Target& target) const;

    // The content type for a file name, or "" for an extension not served.
    static const char* ContentType(const std::string& name);

  private:
    struct File
    {
        const char* type;
        std::string body;
    };
    std::map<std::string, File> files_; // by path below the root, '/'-separated, no leading '/'
};

} // namespace ktzredfish

#endif
