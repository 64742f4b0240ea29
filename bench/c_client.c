/*
 * torvi-bench-client: the arm's force exchange written directly against the
 * tty, the floor the library is measured against.
 *
 * Each exchange is what the library does for end_effector_force, without the
 * library: one write of the 13-byte request (0x2A and three binary32 forces),
 * then a busy wait on FIONREAD with no pause until the header code is queued,
 * one read of it, another busy wait until the 24 payload bytes are queued, one
 * read of them, and the six floats decoded. The waits give up after the same
 * 5-second limit, checked against the calendar clock on every pass.
 *
 *   torvi-bench-client [--warmup WARMUP] PORT SECONDS
 *       exchanges with the device on PORT
 *   torvi-bench-client [--warmup WARMUP] --instant SECONDS
 *       exchanges with a responder that answers at once: a child process on
 *       a pty of its own that reads each request and writes a fixed reply,
 *       doing nothing else (the pty round trip with no device work)
 *   torvi-bench-client [--warmup WARMUP] --queued SECONDS
 *       exchanges with no device at all: replies are queued on a pty of its
 *       own in batches before the exchanges that read them, so only the
 *       client's own cost is timed (its system calls)
 *
 * Makes untimed exchanges for WARMUP seconds first (default 0.1: a process
 * that has just started runs slower for some tens of milliseconds), then
 * runs for SECONDS and prints one JSON object on standard output: the number
 * of untimed and of timed exchanges, the wall and process CPU time of the
 * timed loop, and the mean, p50 and p99 latency of one exchange in
 * microseconds. Exit status 1 when an exchange failed (time-out, short read
 * or a reply code other than 0x2B), 2 for a bad command line.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum {
    kForceRequest = 0x2A,
    kForceReply = 0x2B,
    kRequestLength = 13, /* code + 3 floats */
    kPayloadLength = 24, /* 6 floats after the reply code */
    kForceTableSize = 64,
    kQueuedBatch = 100, /* replies queued at a time without a device */
};
static const double kTimeoutSeconds = 5.0;
static const double kDefaultWarmupSeconds = 0.1;

static double Seconds(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

static int64_t Nanoseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

/* The line settings of the library's port buffer: 115200 baud, 8N1, raw. */
static int OpenPort(const char* path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct termios options;
    memset(&options, 0, sizeof options);
    cfsetispeed(&options, B115200);
    cfsetospeed(&options, B115200);
    options.c_cflag |= CLOCAL | CREAD | CS8;
    options.c_iflag |= IGNBRK | IGNPAR;
    options.c_cc[VTIME] = 0;
    options.c_cc[VMIN] = 0;
    tcsetattr(fd, TCSANOW, &options);
    return fd;
}

/* Busy-waits until at least n bytes are queued; 0 on time-out. */
static int AwaitQueued(int fd, int n) {
    const time_t start = time(NULL);
    for (;;) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) == 0 && queued >= n) return 1;
        if (difftime(time(NULL), start) > kTimeoutSeconds) return 0;
    }
}

static void PutFloat(uint8_t* bytes, float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i)
        bytes[i] = (uint8_t)(bits >> (8 * i));
}

static float GetFloat(const uint8_t* bytes) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= (uint32_t)bytes[i] << (8 * i);
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

/* One force exchange; the state lands in position and velocity. */
static int Exchange(int fd, const float force[3], float position[3], float velocity[3]) {
    uint8_t request[kRequestLength];
    request[0] = kForceRequest;
    for (int i = 0; i < 3; ++i)
        PutFloat(request + 1 + 4 * i, force[i]);
    if (write(fd, request, sizeof request) != (ssize_t)sizeof request) return 0;

    uint8_t code = 0;
    if (!AwaitQueued(fd, 1) || read(fd, &code, 1) != 1 || code != kForceReply) return 0;
    uint8_t payload[kPayloadLength];
    if (!AwaitQueued(fd, kPayloadLength) ||
        read(fd, payload, sizeof payload) != (ssize_t)sizeof payload) {
        return 0;
    }
    for (int i = 0; i < 3; ++i) {
        position[i] = GetFloat(payload + 4 * i);
        velocity[i] = GetFloat(payload + 12 + 4 * i);
    }
    return 1;
}

static int CompareLatency(const void* a, const void* b) {
    const int64_t x = *(const int64_t*)a, y = *(const int64_t*)b;
    return (x > y) - (x < y);
}

/* Nearest-rank percentile of sorted values. */
static double PercentileUs(const int64_t* sorted, size_t n, double p) {
    size_t rank = (size_t)ceil(p / 100.0 * (double)n);
    if (rank < 1) rank = 1;
    return (double)sorted[rank - 1] / 1000.0;
}

/* Without a device: queues `kQueuedBatch` replies on the pty's master side
 * and throws away the requests that came before, so that the next exchanges
 * find their replies waiting. Not timed. */
static int Refill(int master, int fd) {
    uint8_t replies[kQueuedBatch * (1 + kPayloadLength)];
    memset(replies, 0, sizeof replies);
    for (int i = 0; i < kQueuedBatch; ++i)
        replies[i * (1 + kPayloadLength)] = kForceReply;
    uint8_t discard[4096];
    while (read(master, discard, sizeof discard) > 0) {
    }
    if (write(master, replies, sizeof replies) != (ssize_t)sizeof replies) return 0;
    return AwaitQueued(fd, (int)sizeof replies);
}

/* The forces go round a circle in the x-z plane: the same table as the
 * Python rows use. */
static void FillForceTable(float forces[kForceTableSize][3]) {
    for (int k = 0; k < kForceTableSize; ++k) {
        const double phase = 2.0 * M_PI * k / kForceTableSize;
        forces[k][0] = (float)(0.05 * cos(phase));
        forces[k][1] = 0.0f;
        forces[k][2] = (float)(0.2 * sin(phase));
    }
}

/* What the timed exchanges came to. */
typedef struct {
    int64_t* latencies; /* ns per exchange, `count` of them */
    size_t count;
    size_t capacity;
    long untimed;
    int64_t elapsed_ns;
    double cpu_s;
    double checksum;
    int failed;
} Run;

/* Untimed exchanges for `warmup` seconds. Without a device, whole batches
 * only: each reply queued gets read. */
static void WarmUp(Run* run, int fd, int master, double warmup, float forces[kForceTableSize][3]) {
    float position[3], velocity[3];
    const int64_t warm_until = Nanoseconds() + (int64_t)(warmup * 1e9);
    while (!run->failed &&
           (Nanoseconds() < warm_until || (master >= 0 && run->untimed % kQueuedBatch != 0))) {
        if (master >= 0 && run->untimed % kQueuedBatch == 0 && !Refill(master, fd)) {
            run->failed = 1;
            break;
        }
        run->failed = !Exchange(fd, forces[run->untimed % kForceTableSize], position, velocity);
        ++run->untimed;
    }
}

/* Keeps one latency, growing the array when it is full. */
static int Record(Run* run, int64_t latency) {
    if (run->count == run->capacity) {
        int64_t* grown = realloc(run->latencies, 2 * run->capacity * sizeof *grown);
        if (!grown) return 0;
        run->latencies = grown;
        run->capacity *= 2;
    }
    run->latencies[run->count++] = latency;
    return 1;
}

/* Timed exchanges for `seconds`. With `master` >= 0 the replies are queued in
 * advance (see Refill), and only the exchanges themselves count towards
 * `seconds` and the elapsed time. */
static void TimeExchanges(Run* run, int fd, int master, double seconds,
                          float forces[kForceTableSize][3]) {
    float position[3], velocity[3];
    double cpu_mark = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    const int64_t start = Nanoseconds();
    const int64_t limit = (int64_t)(seconds * 1e9);
    while (!run->failed && run->elapsed_ns < limit) {
        if (master >= 0 && run->count % kQueuedBatch == 0) {
            /* Queuing the replies is no part of the client's cost. */
            run->cpu_s += Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_mark;
            if (!Refill(master, fd)) {
                run->failed = 1;
                break;
            }
            cpu_mark = Seconds(CLOCK_PROCESS_CPUTIME_ID);
        }
        const int64_t t0 = Nanoseconds();
        if (!Exchange(fd, forces[run->count % kForceTableSize], position, velocity)) {
            run->failed = 1;
            break;
        }
        const int64_t t1 = Nanoseconds();
        if (!Record(run, t1 - t0)) {
            run->failed = 1;
            break;
        }
        run->elapsed_ns = master >= 0 ? run->elapsed_ns + (t1 - t0) : t1 - start;
        run->checksum += position[2] + velocity[2];
    }
    run->cpu_s += Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_mark;
}

/* The JSON summary line of a run. Sorts its latencies. */
static void PrintSummary(Run* run) {
    const size_t count = run->count;
    double sum = 0.0;
    for (size_t i = 0; i < count; ++i)
        sum += (double)run->latencies[i];
    qsort(run->latencies, count, sizeof *run->latencies, CompareLatency);
    printf("{\"warmup_exchanges\": %ld, \"exchanges\": %zu, \"elapsed_s\": %.6f, \"cpu_s\": %.6f, "
           "\"mean_us\": %.4f, "
           "\"p50_us\": %.4f, \"p99_us\": %.4f, \"failed\": %s, \"checksum\": %.6g}\n",
           run->untimed, count, (double)run->elapsed_ns * 1e-9, run->cpu_s,
           count ? sum / (double)count / 1000.0 : 0.0,
           count ? PercentileUs(run->latencies, count, 50) : 0.0,
           count ? PercentileUs(run->latencies, count, 99) : 0.0, run->failed ? "true" : "false",
           run->checksum);
}

/* Warms up for `warmup` seconds, times exchanges for `seconds` and prints
 * the JSON summary. */
static int Measure(int fd, int master, double warmup, double seconds) {
    float forces[kForceTableSize][3];
    FillForceTable(forces);
    Run run = {0};
    run.capacity = 1 << 16;
    run.latencies = malloc(run.capacity * sizeof *run.latencies);
    if (!run.latencies) return 1;
    WarmUp(&run, fd, master, warmup, forces);
    TimeExchanges(&run, fd, master, seconds, forces);
    PrintSummary(&run);
    free(run.latencies);
    return run.failed;
}

/* The instant responder: reads whole requests, answers each with a fixed
 * end-effector state at once. Ends when the host side goes away. */
static void Respond(int master) {
    uint8_t reply[1 + kPayloadLength] = {kForceReply};
    uint8_t request[kRequestLength];
    size_t have = 0;
    for (;;) {
        const ssize_t got = read(master, request + have, sizeof request - have);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            _exit(0);
        }
        have += (size_t)got;
        if (have < sizeof request) continue;
        have = 0;
        if (write(master, reply, sizeof reply) != (ssize_t)sizeof reply) _exit(1);
    }
}

/* A pty of our own: the master in `master`, the slave opened as a port. */
static int OpenPty(int* master, int* fd) {
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) {
        perror("torvi-bench-client: pty");
        return 0;
    }
    const char* slave_path = ptsname(*master);
    *fd = slave_path ? OpenPort(slave_path) : -1;
    if (*fd < 0) {
        perror("torvi-bench-client: pty slave");
        return 0;
    }
    return 1;
}

static int MeasureQueued(double warmup, double seconds) {
    int master = -1, fd = -1;
    if (!OpenPty(&master, &fd)) return 2;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    const int status = Measure(fd, master, warmup, seconds);
    close(fd);
    close(master);
    return status;
}

static int MeasureInstant(double warmup, double seconds) {
    int master = -1, fd = -1;
    if (!OpenPty(&master, &fd)) return 2;
    const pid_t child = fork();
    if (child < 0) {
        perror("torvi-bench-client: fork");
        return 2;
    }
    if (child == 0) {
        close(fd);
        Respond(master);
    }
    close(master);
    const int status = Measure(fd, -1, warmup, seconds);
    close(fd);
    kill(child, SIGTERM);
    waitpid(child, NULL, 0);
    return status;
}

static void Usage(const char* program) {
    fprintf(stderr, "usage: %s [--warmup SECONDS] PORT|--instant|--queued SECONDS\n", program);
}

int main(int argc, char** argv) {
    double warmup = kDefaultWarmupSeconds;
    int next = 1;
    if (argc > 2 && strcmp(argv[1], "--warmup") == 0) {
        char* end = NULL;
        warmup = strtod(argv[2], &end);
        if (*end != '\0' || !(warmup >= 0.0)) {
            Usage(argv[0]);
            return 2;
        }
        next = 3;
    }
    if (argc - next != 2) {
        Usage(argv[0]);
        return 2;
    }
    const char* port = argv[next];
    const double seconds = atof(argv[next + 1]);
    if (!(seconds > 0.0)) {
        fprintf(stderr, "%s: SECONDS must be positive\n", argv[0]);
        return 2;
    }
    if (strcmp(port, "--instant") == 0) return MeasureInstant(warmup, seconds);
    if (strcmp(port, "--queued") == 0) return MeasureQueued(warmup, seconds);
    const int fd = OpenPort(port);
    if (fd < 0) {
        fprintf(stderr, "%s: cannot open %s: %s\n", argv[0], port, strerror(errno));
        return 2;
    }
    const int status = Measure(fd, -1, warmup, seconds);
    close(fd);
    return status;
}
