#pragma once
// What libcurl's fresh handles of this process share: TLS sessions and resolved host
// names, never connections. Each request still makes a connection of its own, but
// its handshake resumes the session of an earlier one instead of repeating the
// certificate exchange and checks, as one long-lived handle would.

#include <string>

#include <curl/curl.h>

namespace zv {

// The share for handles of one trust configuration: whether certificates are
// verified and which extra CA file (as it is on disk) is trusted. A session is
// resumed only under the trust it was made with. Null when none can be made: the
// handle then goes without.
CURLSH* CurlSessionShare(bool aVerify, const std::string& aCaFile);

}  // namespace zv
