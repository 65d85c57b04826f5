// Released SDL 1.2 runtimes fetched from Debian's archive into the user's
// cache, with apt itself (signatures checked) and nothing installed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The releases --fetch-runtime knows, joined: "classic, debian12, debian13, testing, unstable, experimental".
std::string known_releases();

// Fetches the runtime `name` names into runtime_cache()/NAME, replacing
// what was there only once the new one is whole, and says on standard
// error how far it is. `summary`: what it fetched. "" or what went wrong
// (nothing half made is left in the cache then).
[[nodiscard]] std::string fetch_runtime(const std::string& name, std::string& summary);

// One fetched runtime in the cache.
struct CachedRuntime {
    std::string name;
    std::string release;   // as fetched: "Debian 13 (trixie)"
    std::string versions;  // what its libraries report, or why they cannot load
    std::uintmax_t bytes = 0;
};
// The fetched runtimes, by name.
std::vector<CachedRuntime> cached_runtimes();
// Them as a table, one line each: name, release, versions, size.
std::string runtime_listing(const std::vector<CachedRuntime>& runtimes);
// Takes runtime `name` out of the cache, whole. "" or what went wrong.
[[nodiscard]] std::string remove_runtime(const std::string& name);
