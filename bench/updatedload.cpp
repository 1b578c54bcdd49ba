// updated-load: a bounded burst of news requests against the reference update server, from many
// loopback source addresses. It starts murmelo-updated on 127.0.0.1 with the largest news reply, sends
// the given number of requests round-robin from sockets bound to 127.0.x.y (never any other address),
// and reports replies per second, the server's CPU and memory over the run, replies per sender against
// the rate limit, and bytes out per byte in. It stops by itself: after the requests are sent, or at the
// time limit. With --check it exits 1 when a sender got more replies than the limit allows or the
// server's memory grew during the run; it never judges speed.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int MaxRequests = 2000000;
constexpr int MaxSenders = 4 * 250;
constexpr int MaxTimeSeconds = 600;
constexpr int NewsSize = 4095;
// Requests waiting for their reply at any time, and how long one waits before it counts as refused.
constexpr int Window = 256;
constexpr qint64 ReplyWaitNs = 20000000;
// IPv4 and UDP headers: what each datagram costs on the wire beyond its payload.
constexpr int HeaderBytes = 28;
// Memory the server may gain after the first second without counting as growth: allocator noise.
constexpr qint64 RssSlackKiB = 1024;
// Built with AddressSanitizer (the server is built with the same flags), freed memory is held in
// quarantine, so the resident size grows with every allocation until the quarantine is full; there
// LeakSanitizer checks for leaks instead, and the growth is reported but not judged.
#ifdef __SANITIZE_ADDRESS__
constexpr bool MemoryJudged = false;
#else
constexpr bool MemoryJudged = true;
#endif

qint64 nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct ServerSample
{
    double seconds;
    double cpuSeconds; // user + system since start
    qint64 rssKiB;
};

ServerSample sampleServer(qint64 pid, qint64 startNs)
{
    ServerSample sample{double(nowNs() - startNs) / 1e9, 0, 0};
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        // Fields after the command name, which is in parentheses and may hold blanks.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 13)
            sample.cpuSeconds = double(fields.at(11).toLongLong() + fields.at(12).toLongLong())
                / double(sysconf(_SC_CLK_TCK));
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                sample.rssKiB = line.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    return sample;
}

QByteArray serverConfig()
{
    return "[stable]\nversion = 1042\nname = 1.4.2\n[news]\ntext = " + QByteArray(NewsSize, 'n')
        + "\n[banner]\nimage = http://127.0.0.1/banner.png\nclick = http://127.0.0.1/\n";
}

// The sender addresses 127.0.1.1 to 127.0.4.250: all in 127.0.0.0/8, which Linux routes to loopback.
in_addr_t senderAddress(int index)
{
    const in_addr_t address = (127u << 24) | ((1u + unsigned(index) / 250) << 8) | (1u + unsigned(index) % 250);
    if ((address >> 24) != 127)
        std::abort();
    return htonl(address);
}

struct Sender
{
    int descriptor = -1;
    std::deque<qint64> waiting; // send times of the requests not answered yet, oldest first
    qint64 replies = 0;
    std::vector<int> repliesPerSecond;
};

struct Result
{
    qint64 sent = 0;
    qint64 replies = 0;
    qint64 replyBytes = 0;
    qint64 unanswered = 0;
    double seconds = 0;
    std::vector<ServerSample> samples;
    qint64 maxRepliesOneSender = 0;
    int maxRepliesOneSenderOneSecond = 0;
};

class LoadRun
{
public:
    LoadRun(const QString &serverProgram, int rateLimit, int requests, int senders, int timeLimitSeconds)
        : serverProgram(serverProgram), rateLimit(rateLimit), requests(requests), senderCount(senders),
          timeLimitNs(qint64(timeLimitSeconds) * 1000000000)
    {
    }

    bool run(Result &result, QString &error);

private:
    bool startServer(QString &error);
    bool openSenders(QString &error);
    void drain(Result &result, int timeoutMs);
    void expire(Result &result, qint64 now);

    QString serverProgram;
    int rateLimit;
    int requests;
    int senderCount;
    qint64 timeLimitNs;
    QTemporaryDir dir;
    QProcess server;
    quint16 port = 0;
    std::vector<Sender> senders;
    int epoll = -1;
    qint64 inFlight = 0;
    qint64 startNs = 0;
};

bool LoadRun::startServer(QString &error)
{
    const QString config = dir.filePath(QStringLiteral("updated.conf"));
    QFile file(config);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(serverConfig()) < 0) {
        error = QStringLiteral("cannot write the server's configuration");
        return false;
    }
    file.close();
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(serverProgram, {QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                                 QStringLiteral("--version-port"), QStringLiteral("0"),
                                 QStringLiteral("--banner-port"), QStringLiteral("0"),
                                 QStringLiteral("--rate-limit"), QString::number(rateLimit), config});
    static const QRegularExpression listening(QStringLiteral("version port (\\d+)"));
    QByteArray output;
    while (server.waitForReadyRead(10000)) {
        output += server.readAllStandardOutput();
        const QRegularExpressionMatch match = listening.match(QString::fromUtf8(output));
        if (match.hasMatch()) {
            port = quint16(match.captured(1).toUInt());
            return true;
        }
    }
    error = QStringLiteral("%1 did not start: %2").arg(serverProgram, server.errorString());
    return false;
}

bool LoadRun::openSenders(QString &error)
{
    epoll = epoll_create1(EPOLL_CLOEXEC);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    senders.resize(size_t(senderCount));
    for (int i = 0; i < senderCount; ++i) {
        Sender &sender = senders[size_t(i)];
        sender.descriptor = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = senderAddress(i);
        if (sender.descriptor < 0
            || bind(sender.descriptor, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0
            || connect(sender.descriptor, reinterpret_cast<sockaddr *>(&target), sizeof target) != 0) {
            error = QStringLiteral("sender %1: %2").arg(i).arg(qt_error_string(errno));
            return false;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = uint32_t(i);
        epoll_ctl(epoll, EPOLL_CTL_ADD, sender.descriptor, &event);
    }
    return true;
}

void LoadRun::drain(Result &result, int timeoutMs)
{
    epoll_event events[64];
    const int ready = epoll_wait(epoll, events, 64, timeoutMs);
    const qint64 now = nowNs();
    for (int e = 0; e < ready; ++e) {
        Sender &sender = senders[events[e].data.u32];
        char buffer[NewsSize + 1];
        ssize_t size;
        while ((size = recv(sender.descriptor, buffer, sizeof buffer, 0)) >= 0) {
            ++result.replies;
            result.replyBytes += size;
            ++sender.replies;
            const size_t second = size_t((now - startNs) / 1000000000);
            if (sender.repliesPerSecond.size() <= second)
                sender.repliesPerSecond.resize(second + 1, 0);
            ++sender.repliesPerSecond[second];
            if (!sender.waiting.empty()) {
                sender.waiting.pop_front();
                --inFlight;
            }
        }
    }
}

// A request without a reply after the wait was refused by the limit or dropped by a full buffer.
void LoadRun::expire(Result &result, qint64 now)
{
    for (Sender &sender : senders) {
        while (!sender.waiting.empty() && now - sender.waiting.front() > ReplyWaitNs) {
            sender.waiting.pop_front();
            --inFlight;
            ++result.unanswered;
        }
    }
}

bool LoadRun::run(Result &result, QString &error)
{
    if (!startServer(error) || !openSenders(error))
        return false;
    const qint64 pid = server.processId();
    startNs = nowNs();
    result.samples.push_back(sampleServer(pid, startNs));
    qint64 nextSample = startNs + 1000000000;
    qint64 nextExpiry = startNs + ReplyWaitNs / 4;
    static const char request[2] = {'*', '\0'};
    int next = 0;
    while ((result.sent < requests || inFlight > 0) && nowNs() - startNs < timeLimitNs) {
        while (result.sent < requests && inFlight < Window) {
            Sender &sender = senders[size_t(next)];
            next = (next + 1) % senderCount;
            if (send(sender.descriptor, request, sizeof request, 0) != sizeof request)
                continue;
            ++result.sent;
            sender.waiting.push_back(nowNs());
            ++inFlight;
        }
        drain(result, 1);
        const qint64 now = nowNs();
        if (now >= nextExpiry) {
            expire(result, now);
            nextExpiry = now + ReplyWaitNs / 4;
        }
        if (now >= nextSample) {
            result.samples.push_back(sampleServer(pid, startNs));
            nextSample += 1000000000;
        }
    }
    result.seconds = double(nowNs() - startNs) / 1e9;
    result.samples.push_back(sampleServer(pid, startNs));
    for (const Sender &sender : senders) {
        result.maxRepliesOneSender = std::max(result.maxRepliesOneSender, sender.replies);
        for (const int count : sender.repliesPerSecond)
            result.maxRepliesOneSenderOneSecond = std::max(result.maxRepliesOneSenderOneSecond, count);
        close(sender.descriptor);
    }
    close(epoll);
    server.terminate();
    server.waitForFinished(10000);
    return true;
}

// Reports one run; false when --check finds the limit broken or the memory grown.
bool report(const Result &result, int rateLimit, int senders)
{
    std::printf("rate limit %d/s: %lld requests from %d senders in %.2f s, %lld replies (%.0f/s), %lld unanswered\n",
          rateLimit, (long long)result.sent, senders, result.seconds, (long long)result.replies,
          double(result.replies) / result.seconds, (long long)result.unanswered);
    const double bytesIn = 2.0 * double(result.sent);
    const double bytesOut = double(result.replyBytes);
    std::printf("  bytes out / bytes in: %.1f (payload), %.1f (with IPv4 and UDP headers)\n", bytesOut / bytesIn,
          (bytesOut + double(HeaderBytes) * double(result.replies)) / (bytesIn + double(HeaderBytes) * double(result.sent)));
    std::printf("  server per second (CPU %%, RSS KiB):");
    for (size_t i = 1; i < result.samples.size(); ++i) {
        const ServerSample &a = result.samples[i - 1];
        const ServerSample &b = result.samples[i];
        const double span = b.seconds - a.seconds;
        if (span > 0.05)
            std::printf(" %.0f%%/%lld", 100.0 * (b.cpuSeconds - a.cpuSeconds) / span, (long long)b.rssKiB);
    }
    std::printf("\n");
    bool ok = true;
    // After the first second the server has made every buffer it needs; later growth would be a leak or a
    // table that grows with the senders.
    const qint64 settled = result.samples.size() > 2 ? result.samples[1].rssKiB : result.samples.front().rssKiB;
    const qint64 end = result.samples.back().rssKiB;
    std::printf("  server RSS: %lld KiB at start, %lld KiB after 1 s, %lld KiB at the end\n",
          (long long)result.samples.front().rssKiB, (long long)settled, (long long)end);
    if (end > settled + RssSlackKiB) {
        std::printf("  %s: the server's memory grew by %lld KiB during the run\n",
                    MemoryJudged ? "FAIL" : "not judged under AddressSanitizer", (long long)(end - settled));
        if (MemoryJudged)
            ok = false;
    }
    if (rateLimit > 0) {
        // A budget of rateLimit, refilled at rateLimit per second: within any second at most twice it.
        const qint64 allowedTotal = qint64(rateLimit) * qint64(result.seconds + 2.0);
        std::printf("  most replies to one sender: %lld in all (limit allows %lld), %d within one second (allows %d)\n",
              (long long)result.maxRepliesOneSender, (long long)allowedTotal, result.maxRepliesOneSenderOneSecond,
              2 * rateLimit);
        if (result.maxRepliesOneSender > allowedTotal || result.maxRepliesOneSenderOneSecond > 2 * rateLimit) {
            std::printf("  FAIL: a sender got more replies than the rate limit allows\n");
            ok = false;
        }
    }
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Bounded UDP burst against murmelo-updated, on loopback only."));
    parser.addHelpOption();
    const QCommandLineOption serverOption(QStringLiteral("server"), QStringLiteral("The murmelo-updated program."),
                                          QStringLiteral("path"));
    const QCommandLineOption requestsOption(QStringLiteral("requests"),
                                            QStringLiteral("Requests per run (default 200000)."),
                                            QStringLiteral("n"), QStringLiteral("200000"));
    const QCommandLineOption sendersOption(QStringLiteral("senders"),
                                           QStringLiteral("Source addresses, 127.0.1.1 onwards (default 1000)."),
                                           QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption limitOption(QStringLiteral("rate-limit"),
                                         QStringLiteral("The server's limit; each value given is one run (default 0 and 20)."),
                                         QStringLiteral("replies"));
    const QCommandLineOption timeOption(QStringLiteral("time-limit"),
                                        QStringLiteral("Seconds after which a run stops (default 120)."),
                                        QStringLiteral("s"), QStringLiteral("120"));
    const QCommandLineOption checkOption(QStringLiteral("check"),
                                         QStringLiteral("Exit 1 when the rate limit was exceeded or the server's memory grew."));
    parser.addOptions({serverOption, requestsOption, sendersOption, limitOption, timeOption, checkOption});
    parser.process(app);

    const int requests = parser.value(requestsOption).toInt();
    const int senders = parser.value(sendersOption).toInt();
    const int timeLimit = parser.value(timeOption).toInt();
    if (!parser.isSet(serverOption) || requests < 1 || requests > MaxRequests || senders < 1
        || senders > MaxSenders || timeLimit < 1 || timeLimit > MaxTimeSeconds) {
        std::fprintf(stderr, "updated-load: --server is required; requests 1 to %d, senders 1 to %d, "
                             "time limit 1 to %d s\n", MaxRequests, MaxSenders, MaxTimeSeconds);
        return 2;
    }
    QList<int> limits;
    for (const QString &value : parser.values(limitOption))
        limits.append(value.toInt());
    if (limits.isEmpty())
        limits = {0, 20};

    // One descriptor per sender, on top of what the process has open.
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < rlim_t(senders + 64)) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, rlim_t(senders + 64));
        setrlimit(RLIMIT_NOFILE, &files);
    }

    bool ok = true;
    for (const int limit : limits) {
        LoadRun run(parser.value(serverOption), limit, requests, senders, timeLimit);
        Result result;
        QString error;
        if (!run.run(result, error)) {
            std::fprintf(stderr, "updated-load: %s\n", qPrintable(error));
            return 2;
        }
        ok = report(result, limit, senders) && ok;
    }
    return parser.isSet(checkOption) && !ok ? 1 : 0;
}
