/* tcp.protocol in a real tessarc-server: a client writes pings of 64 bytes
 * (and larger) in bursts and reads the pongs back, so every dataset crosses
 * the module's framing, the server's receive path, the module's send queue
 * and its batched writes once. The server and the module are taken from the
 * build tree next to this program (<build>/host, <build>/modules/tcp). */
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

/* One server with a client port, started once for the whole program. */
struct Server {
    fs::path root;
    pid_t pid = -1;
    uint16_t port = 0;

    Server()
    {
        fs::path build = fs::canonical("/proc/self/exe").parent_path().parent_path();
        root = fs::temp_directory_path() / ("tcp_bench." + std::to_string(getpid()));
        fs::create_directories(root / "Config");
        fs::create_directories(root / "Protocols");
        fs::copy_file(build / "modules/tcp/tcp.protocol", root / "Protocols/tcp.protocol");
        std::ofstream(root / "Config/Communication.cfg")
            << "protocols = ( { name = \"tcp\"; clientListen = \"127.0.0.1:0\"; } );\n";
        std::ofstream(root / "Config/Logging.cfg") << "logFile = \"" << (root / "log").string() << "\";\n";
        std::string program = (build / "host/tessarc-server").string();
        std::string env = "TQ_INSTALL_DIR=" + root.string();
        pid = fork();
        if (pid == 0) {
            char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
            char *envp[] = {const_cast<char *>(env.c_str()), nullptr};
            execve(argv[0], argv, envp);
            _exit(127);
        }
        const std::string marker = "listening for clients on 127.0.0.1:";
        for (int i = 0; i < 200 && port == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::stringstream text;
            text << std::ifstream(root / "log").rdbuf();
            size_t at = text.str().find(marker);
            if (at != std::string::npos)
                port = static_cast<uint16_t>(std::stoi(text.str().substr(at + marker.size())));
        }
    }
    ~Server()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        fs::remove_all(root);
    }
};

Server &server()
{
    static Server s;
    return s;
}

/* Pings of `size` bytes in bursts of `burst`; each iteration writes one
 * burst and reads its pongs. */
void BM_PingPong(benchmark::State &state)
{
    const uint32_t size = static_cast<uint32_t>(state.range(0));
    const size_t burst = static_cast<size_t>(state.range(1));
    if (server().port == 0) {
        state.SkipWithError("server did not start");
        return;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server().port);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    std::string ping(size, '\0');
    std::memcpy(&ping[0], &size, 4);
    ping[4] = 1; /* type 1, first payload byte 0: a ping */
    std::string out;
    for (size_t i = 0; i < burst; ++i)
        out += ping;
    std::string in(out.size(), '\0');
    char greeting[64];
    recv(fd, greeting, sizeof greeting, 0); /* the server's network ID */
    for (auto _ : state) {
        for (size_t done = 0; done < out.size();)
            done += static_cast<size_t>(send(fd, out.data() + done, out.size() - done, 0));
        for (size_t got = 0; got < in.size();) {
            ssize_t n = recv(fd, &in[got], in.size() - got, 0);
            if (n <= 0) {
                state.SkipWithError("connection lost");
                close(fd);
                return;
            }
            got += static_cast<size_t>(n);
        }
    }
    close(fd);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * burst));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_PingPong)
    ->Args({64, 1})
    ->Args({64, 64})
    ->Args({64, 1024})
    ->Args({1024, 64})
    ->Args({4096, 32})
    ->UseRealTime();

} /* namespace */
