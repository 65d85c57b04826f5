#include "sway_ipc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>
#include <type_traits>

#include "children.h"
#include "interface.h"

namespace {

constexpr char magic[] = "i3-ipc";
constexpr std::size_t header_size = sizeof magic - 1 + 8;

bool send_all(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool receive(int fd, std::string& into, std::size_t size, Clock::time_point deadline) {
    char buffer[65536];
    while (into.size() < size) {
        if (!readable(fd, deadline)) return false;
        const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, size - into.size()), 0);
        if (n <= 0) return false;
        into.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

// Every window (a node with a shell) in sway's tree.
void collect_windows(const nlohmann::json& node, std::vector<const nlohmann::json*>& windows) {
    if (!node.is_object()) return;
    if (node.contains("shell")) windows.push_back(&node);
    for (const char* children : {"nodes", "floating_nodes"}) {
        const auto list = node.find(children);
        if (list == node.end() || !list->is_array()) continue;
        for (const nlohmann::json& child : *list) collect_windows(child, windows);
    }
}

template <typename T>
T field(const nlohmann::json& node, const char* name, T otherwise) {
    const auto it = node.find(name);
    if (it == node.end()) return otherwise;
    if constexpr (std::is_same_v<T, std::string>) {
        return it->is_string() ? it->template get<std::string>() : otherwise;
    } else if constexpr (std::is_same_v<T, bool>) {
        return it->is_boolean() ? it->template get<bool>() : otherwise;
    } else {
        return it->is_number_integer() ? it->template get<T>() : otherwise;
    }
}

}  // namespace

std::string sway_request(const std::string& socket_path, SwayMessage type, const std::string& payload, milliseconds limit) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path) return close(fd), "";
    std::strcpy(address.sun_path, socket_path.c_str());
    std::string reply;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        std::string message(magic, sizeof magic - 1);
        const std::uint32_t fields[2] = {static_cast<std::uint32_t>(payload.size()), static_cast<std::uint32_t>(type)};
        message.append(reinterpret_cast<const char*>(fields), sizeof fields);  // native byte order, as i3 wants
        message += payload;
        const auto deadline = Clock::now() + limit;
        std::string header;
        if (send_all(fd, message) && receive(fd, header, header_size, deadline)) {
            std::uint32_t size = 0;
            std::memcpy(&size, header.data() + sizeof magic - 1, sizeof size);
            if (!receive(fd, reply, size, deadline)) reply.clear();
        }
    }
    close(fd);
    return reply;
}

bool find_and_focus_sway_window(const std::string& socket, pid_t group, SwayWindow& window, milliseconds limit,
                                const std::function<bool()>& gone) {
    const auto deadline = Clock::now() + limit;
    // sway sends events only to clients that subscribe; a look at the tree
    // every few milliseconds is simpler and as bounded.
    for (;;) {
        const nlohmann::json tree = nlohmann::json::parse(sway_request(socket, SwayMessage::get_tree, ""), nullptr, false);
        std::vector<const nlohmann::json*> windows;
        if (!tree.is_discarded()) collect_windows(tree, windows);
        for (const nlohmann::json* node : windows) {
            // A window without a title yet has a null name.
            const pid_t pid = field<pid_t>(*node, "pid", -1);
            if (field<std::string>(*node, "name", "") != keymon_window_title || pid <= 0) continue;
            if (pid != group && process_group_of(pid) != group) continue;
            window = {field<long>(*node, "id", 0), pid, field<std::string>(*node, "shell", "")};
            if (field<bool>(*node, "focused", false)) return true;
            sway_request(socket, SwayMessage::run_command, "[con_id=" + std::to_string(window.id) + "] focus");
        }
        if (Clock::now() >= deadline || (gone && gone())) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
}
