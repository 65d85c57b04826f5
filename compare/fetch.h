// Released SDL 1.2 runtimes fetched from Debian's archive into the user's
// cache, with apt itself (signatures checked) and nothing installed.
#pragma once

#include <string>

// The names --fetch-runtime knows, joined: "classic, debian12, debian13, unstable".
std::string known_releases();

// Fetches the runtime `name` names into runtime_cache()/NAME, replacing
// what was there only once the new one is whole, and says on standard
// error how far it is. `summary`: what it fetched. "" or what went wrong
// (nothing half made is left in the cache then).
[[nodiscard]] std::string fetch_runtime(const std::string& name, std::string& summary);
