// Released SDL 1.2 runtimes fetched from Debian's archive into the user's
// cache, with apt itself (signatures checked) and nothing installed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtimes.h"

// The releases --fetch-runtime knows, joined: "classic, debian12, debian13, testing, unstable, experimental".
std::string known_releases();

// Fetches the stack `value` names into runtime_cache()/NAME, replacing
// what was there only once the new one is whole, and says on a terminal
// how far it is. `value`: a release ("unstable"), or a mix,
// NAME=BASE,LAYER=RELEASE,... (LAYER sdl12, sdl2 or sdl3): BASE's stack
// with each LAYER's library from RELEASE's, under the newest C library
// among them. `summary`: what it fetched. "" or what went wrong (nothing
// half made is left in the cache then).
[[nodiscard]] std::string fetch_runtime(const std::string& value, std::string& summary);

// Why a mix that took `layers_taken` ("sdl2", ...) from other releases
// cannot work, given what its libraries report: "" if it can.
std::string mix_problem(const RuntimeIdentity& identity, const std::vector<std::string>& layers_taken);

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
