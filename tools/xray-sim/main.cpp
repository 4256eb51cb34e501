// xray-sim: plays a mammography X-ray unit on a serial line, so the station can be
// tried and tested without a unit.
//
// It opens a pseudo-terminal and prints its slave device ("PTY /dev/pts/N"; give that
// path to the station as ComPort/Device), or uses the device named with --device.
// Commands come from the arguments (each argument one command, run in order) and then
// from standard input, one per line:
//
//   hfe [DAP KV MAS FIELD4 MS [EXTRA]]  HFE 501 message, semicolon format
//                                        ("12.50cGyCm²;28kV;56mAs;W/Rh;350ms;18mm")
//   sophie [V1 V6 V11]                  Sophie message, channel format
//   giotto [V1 V6 V11]                  Giotto message, channel format
//   lorad DP [V6 V11]                   dose product the Lorad M4 answers to "%PRT"
//   lorad-silent                        the Lorad M4 stops answering
//   raw TEXT                            any bytes (\r \n \t \\ \xNN understood)
//   chunk N GAP_MS                      send later messages in pieces of N bytes with
//                                        GAP_MS between them (chunk 0 0: in one piece)
//   sleep MS                            wait
//   quit                                end
//
// Values left out are made up (plausible, different for every exposure). The Lorad
// answers every "%PRT" it receives. Every send is reported on standard output as
// "SENT <kind> <bytes> <ms since epoch>" after its last byte went onto the line, every
// received text as "RECV <text>", every answer as "ANSWER lorad <ms since epoch>".
//
// Options: --device PATH (use this device instead of a pseudo-terminal), --baud N
// (with --device; default 4800), --stay (keep answering after standard input ends).

#include "peers/PseudoTerminal.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int g_line = -1;    // the side we write to and read from
size_t g_chunk = 0; // 0: whole messages
int g_gapMs = 0;
int g_exposure = 0;
bool g_loradAnswers = true;
std::string g_loradDp;
std::string g_loradV6;
std::string g_loradV11;
std::string g_received;

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void out(const std::string &line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string printable(const std::string &s)
{
    std::string r;
    for (unsigned char c : s) {
        if (c == '\r')
            r += "\\r";
        else if (c == '\n')
            r += "\\n";
        else if (c == '\\')
            r += "\\\\";
        else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            r += buf;
        } else
            r += static_cast<char>(c);
    }
    return r;
}

std::string unescape(const std::string &s)
{
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            r += s[i];
            continue;
        }
        const char n = s[++i];
        if (n == 'r')
            r += '\r';
        else if (n == 'n')
            r += '\n';
        else if (n == 't')
            r += '\t';
        else if (n == 'x' && i + 2 < s.size()) {
            const std::string hex = s.substr(i + 1, 2);
            r += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
            i += 2;
        } else
            r += n;
    }
    return r;
}

void readLine(int waitMs);

// Writes every byte, waiting while the line's buffer is full.
bool writeAll(const std::string &bytes)
{
    size_t done = 0;
    const long long deadline = nowMs() + 5000;
    while (done < bytes.size()) {
        const ssize_t n = ::write(g_line, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
            return false;
        if (nowMs() > deadline)
            return false;
        pollfd p{g_line, POLLOUT, 0};
        ::poll(&p, 1, 20);
    }
    return true;
}

void send(const std::string &kind, const std::string &bytes)
{
    bool ok = true;
    if (g_chunk == 0) {
        ok = writeAll(bytes);
    } else {
        for (size_t i = 0; i < bytes.size() && ok; i += g_chunk) {
            if (i > 0 && g_gapMs > 0)
                readLine(g_gapMs);
            ok = writeAll(bytes.substr(i, g_chunk));
        }
    }
    if (ok)
        tcdrain(g_line);
    out((ok ? "SENT " : "DROPPED ") + kind + " " + std::to_string(bytes.size()) + " " + std::to_string(nowMs()));
}

std::string fixed(double v, int decimals)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string arg(const std::vector<std::string> &a, size_t i, const std::string &def)
{
    return i < a.size() ? a[i] : def;
}

// HFE 501: dose-area product, tube voltage, current-time product, filter, exposure
// time, compressed thickness; fields separated by ";", "²" as the ANSI byte 0xB2.
std::string hfeMessage(const std::vector<std::string> &a)
{
    const int n = ++g_exposure;
    const std::string dap = arg(a, 1, fixed(8.5 + 1.25 * (n % 11), 2));
    const std::string kv = arg(a, 2, std::to_string(26 + n % 7));
    const std::string mas = arg(a, 3, std::to_string(40 + 4 * (n % 15)));
    const std::string f4 = arg(a, 4, (n % 2) ? "Mo/Rh" : "W/Rh");
    const std::string ms = arg(a, 5, std::to_string(300 + 10 * (n % 20)));
    const std::string extra = arg(a, 6, std::to_string(35 + n % 30) + "mm");
    return dap + "cGyCm\xB2;" + kv + "kV;" + mas + "mAs;" + f4 + ";" + ms + "ms;" + extra + "\r\n";
}

// Channel format: three channel lines, values at tokens 1, 6 and 11.
std::string channelMessage(const std::vector<std::string> &a, bool giotto)
{
    const int n = ++g_exposure;
    const std::string v1 = arg(a, 1, fixed(1.1 + 0.07 * (n % 13), 2));
    const std::string v6 = arg(a, 2, std::to_string(26 + n % 7));
    const std::string v11 = arg(a, 3, std::to_string(40 + 5 * (n % 12)));
    const std::string ms = std::to_string(400 + 15 * (n % 10));
    if (giotto)
        return "CH1: " + v1 + " mGy AEC " + ms + "ms\r\nCH2: " + v6 + " kV W/Ag 0\r\nCH3: " + v11 + " mAs "
               + std::to_string(40 + n % 30) + " mm\r\n";
    return "CH1 " + v1 + " mGy " + ms + " ms\r\nCH2 " + v6 + " kV Mo Rh\r\nCH3 " + v11 + " mAs "
           + std::to_string(80 + n % 60) + " N\r\n";
}

// The Lorad M4's answer to "%PRT": a status of two zeros and a percent sign, then the
// channel lines.
std::string loradAnswer()
{
    const int n = ++g_exposure;
    const std::string dp = g_loradDp.empty() ? fixed(0.9 + 0.11 * (n % 9), 2) : g_loradDp;
    const std::string v6 = g_loradV6.empty() ? std::to_string(25 + n % 8) : g_loradV6;
    const std::string v11 = g_loradV11.empty() ? std::to_string(60 + 6 * (n % 10)) : g_loradV11;
    return "00%CH1 " + dp + " mGy AGD 0\r\nCH2 " + v6 + " kV Mo/Mo 0\r\nCH3 " + v11 + " mAs "
           + std::to_string(30 + n % 40) + " mm\r\n";
}

// Reads what the station sent, for at most waitMs, and answers polls.
void readLine(int waitMs)
{
    const long long end = nowMs() + waitMs;
    do {
        pollfd p{g_line, POLLIN, 0};
        const long long left = end - nowMs();
        const int r = ::poll(&p, 1, static_cast<int>(left > 0 ? left : 0));
        if (r <= 0)
            continue;
        if (p.revents & (POLLHUP | POLLERR)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        char buf[512];
        const ssize_t n = ::read(g_line, buf, sizeof buf);
        if (n <= 0)
            continue;
        const std::string got(buf, static_cast<size_t>(n));
        out("RECV " + printable(got));
        g_received += got;
        size_t at;
        while ((at = g_received.find("%PRT")) != std::string::npos) {
            g_received.erase(0, at + 4);
            if (g_loradAnswers) {
                send("lorad", loradAnswer());
                out("ANSWER lorad " + std::to_string(nowMs()));
            }
        }
        if (g_received.size() > 4096)
            g_received.erase(0, g_received.size() - 8);
    } while (nowMs() < end);
}

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> w;
    std::string cur;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!cur.empty())
                w.push_back(cur);
            cur.clear();
        } else
            cur += c;
    }
    if (!cur.empty())
        w.push_back(cur);
    return w;
}

// Runs one command; false for "quit".
bool command(const std::string &line)
{
    const std::vector<std::string> w = words(line);
    if (w.empty())
        return true;
    const std::string &c = w[0];
    if (c == "quit" || c == "exit")
        return false;
    if (c == "hfe")
        send("hfe", hfeMessage(w));
    else if (c == "sophie")
        send("sophie", channelMessage(w, false));
    else if (c == "giotto")
        send("giotto", channelMessage(w, true));
    else if (c == "lorad") {
        g_loradAnswers = true;
        g_loradDp = arg(w, 1, "");
        g_loradV6 = arg(w, 2, "");
        g_loradV11 = arg(w, 3, "");
        out("OK lorad");
    } else if (c == "lorad-silent") {
        g_loradAnswers = false;
        out("OK lorad-silent");
    } else if (c == "raw") {
        const size_t at = line.find("raw");
        std::string text = line.substr(at + 3);
        if (!text.empty() && text[0] == ' ')
            text.erase(0, 1);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        send("raw", unescape(text));
    } else if (c == "chunk") {
        g_chunk = static_cast<size_t>(std::atol(arg(w, 1, "0").c_str()));
        g_gapMs = std::atoi(arg(w, 2, "0").c_str());
        out("OK chunk");
    } else if (c == "sleep") {
        readLine(std::atoi(arg(w, 1, "0").c_str()));
        out("OK sleep");
    } else {
        out("ERROR unknown command: " + c);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::string device;
    int baud = 4800;
    bool stay = false;
    std::vector<std::string> commands;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--device" && i + 1 < argc)
            device = argv[++i];
        else if (a == "--baud" && i + 1 < argc)
            baud = std::atoi(argv[++i]);
        else if (a == "--stay")
            stay = true;
        else if (a == "--help" || a == "-h") {
            std::puts(
                "usage: xray-sim [--device PATH] [--baud N] [--stay] [COMMAND ...]\n"
                "commands: hfe, sophie, giotto, lorad DP, lorad-silent, raw TEXT, chunk N GAP_MS, sleep MS, quit");
            return 0;
        } else
            commands.push_back(a);
    }

    std::string path;
    peers::PseudoTerminal pty;
    if (device.empty()) {
        // Raw line from the start: no echo, no line editing; the station sets its own
        // modes when it opens the port.
        if (!pty.open(baud)) {
            std::fprintf(stderr, "xray-sim: %s\n", pty.error().c_str());
            return 1;
        }
        g_line = pty.master();
        path = pty.slavePath();
    } else {
        path = device;
        g_line = ::open(device.c_str(), O_RDWR | O_NOCTTY);
        if (g_line < 0) {
            std::fprintf(stderr, "xray-sim: cannot open %s: %s\n", device.c_str(), std::strerror(errno));
            return 1;
        }
        peers::makeRawLine(g_line, baud);
    }
    ::fcntl(g_line, F_SETFL, ::fcntl(g_line, F_GETFL) | O_NONBLOCK);
    out("PTY " + path);

    for (const auto &c : commands)
        if (!command(c))
            return 0;

    std::string pending;
    bool stdinOpen = true;
    for (;;) {
        pollfd p[2] = {{g_line, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
        const int r = ::poll(p, 2, 200);
        if (r < 0 && errno != EINTR)
            break;
        if (p[0].revents & POLLIN)
            readLine(0);
        else if (p[0].revents & (POLLHUP | POLLERR))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (stdinOpen && (p[1].revents & (POLLIN | POLLHUP))) {
            char buf[1024];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) {
                stdinOpen = false;
                if (!stay)
                    break;
                continue;
            }
            pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!command(line))
                    return 0;
            }
        }
    }
    return 0;
}
