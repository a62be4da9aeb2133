#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/environment.hpp"

namespace dapplewick {

// What a service's credential shows a server, as each table line names it: the engine redacts these from every
// error text and note, in whatever form a server echoes them. Each takes the credential as the line's route
// passes it to the fetch, and the environment for the services that read keys from it; none throws.
//
// A route that hands its service the routed text (prefix dropped, kind flag, two paths) has already dropped the
// one kind prefix its service is owed; a prefix still there is part of what the fetch sends. Such a line names
// keySecrets or cookieSecrets. An unchanged line hands its service the stored string, and the service drops one
// prefix and trims itself (requireCredential); such a line names storedKeySecrets or storedCookieSecrets, which do
// the same first.

// An API key or token sent whole: the routed text, trimmed.
std::vector<std::string> keySecrets(std::string_view credential, const Environment& environment);

// A pasted Cookie header, as routed: each cookie value of kMinRedactedSecretBytes or more, so that the cookie names
// stay readable; the whole text, as keySecrets gives it, only when it holds no such value (a bare token).
std::vector<std::string> cookieSecrets(std::string_view credential, const Environment& environment);

// keySecrets and cookieSecrets of the stored string with one kind prefix dropped.
std::vector<std::string> storedKeySecrets(std::string_view stored, const Environment& environment);
std::vector<std::string> storedCookieSecrets(std::string_view stored, const Environment& environment);

}  // namespace dapplewick
