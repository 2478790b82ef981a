// The Linux traffic tool: one sample of the byte counts of every TCP
// connection of one process, in the shape get_process_socket_stats reads
// (see output_lines.h). Exit status 0 on success, 1 when the process or the
// kernel's tables cannot be read, 2 for a command line it does not honour.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "output_lines.h"
#include "process_sockets.h"
#include "tcp_connections.h"

namespace {

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

int fail(int status, const std::string& message) {
    write_all(2, message + "\n");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace lumenstat::nettop;
    const CommandLine line =
        parse_command_line(std::span<const char* const>(argv + 1, argc > 0 ? argc - 1 : 0));
    if (!line.error.empty()) return fail(2, line.error);
    const std::string pid = std::to_string(line.pid);

    std::vector<SocketDescriptor> sockets;
    if (int error = list_socket_descriptors(line.pid, sockets); error != 0) {
        if (error == ENOENT) return fail(1, "nettop: no such process: " + pid);
        return fail(1, "nettop: cannot read the descriptors of process " + pid + ": " +
                           std::strerror(error));
    }
    std::vector<std::uint64_t> inodes;
    inodes.reserve(sockets.size());
    for (const SocketDescriptor& socket : sockets) inodes.push_back(socket.inode);
    std::sort(inodes.begin(), inodes.end());
    TcpConnections connections;
    if (!sockets.empty() && !read_tcp_connections(inodes, connections)) {
        return fail(
            1, std::string("nettop: cannot read the kernel's TCP table: ") + std::strerror(errno));
    }
    std::string out = kHeaderLine;
    for (const SocketDescriptor& socket : sockets) {
        auto found = connections.find(socket.inode);
        if (found != connections.end()) {
            append_connection_line(out, socket.fd, socket.inode, found->second);
        }
    }
    if (!write_all(1, out)) return fail(1, std::string("nettop: write: ") + std::strerror(errno));
    return 0;
}
