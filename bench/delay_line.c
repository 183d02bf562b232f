/* The emulated link of bench/run --link: a TUN device in each of two network namespaces, and
   between them, per direction, a rate, a one-way delay, a drop-tail queue of one
   bandwidth-delay product and optional random loss. Both ends keep the kernel's own TCP, so
   connection set-up, slow start, queueing and loss recovery cost what they cost on a real line.

   usage: delay_line CLIENT_NETNS SERVER_NETNS DEVICE DOWN_BIT_S UP_BIT_S ROUND_TRIP_US LOSS SEED
                     [WATCH [CUT_AFTER]]

   The device is made in both namespaces (given as paths, e.g. /run/netns/NAME); "down" is the
   server-to-client direction. LOSS is a probability per packet in both directions. WATCH, a
   string: the answers to every HTTP request whose request line contains it are followed, and
   the bytes they bring (headers included; by sequence number, so a retransmission counts
   once) summed. With
   CUT_AFTER, the first such answer is cut once it has brought that many bytes: its packets are
   dropped from then on and each end is reset, as a dead route or a restarted box in between
   would end it.

   Prints "ready" once both devices exist; on SIGUSR1 one line of counters (key=value, totals
   since the start); ends on SIGTERM or SIGINT, and when its parent ends. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

enum { Down, Up, Directions };
/* Packets waiting or travelling, per direction: 100 Mbit/s for 30 ms plus a queue of 750 kB is
   about 750 full packets, and the ACKs going the other way are small. Enough for gigabit. */
#define SLOTS 16384
#define SLOT_BYTES 2048

struct Packet {
    int64_t due_ns;
    uint16_t length;
    uint8_t data[SLOT_BYTES];
};

struct Direction {
    int from, to;           /* the devices it reads and writes */
    double ns_per_byte;     /* its rate */
    int64_t queue_bytes;    /* one bandwidth-delay product */
    int64_t last_departure; /* when the last accepted packet leaves the queue */
    struct Packet *slots;
    unsigned head, count;
    uint64_t packets, bytes, queue_drops, loss_drops, ring_drops;
};

/* A TCP connection, by the client's port (the client has one address, the server one port). */
struct Flow {
    uint32_t down_end; /* the sequence number just past the last byte the server sent */
    uint8_t watched;   /* its current request is a watched one */
    uint8_t cut;
    int64_t answered; /* bytes of the current watched answer so far */
};

static struct Direction g_line[Directions];
static struct Flow g_flows[65536];
static int64_t g_delay_ns;
static double g_loss;
static uint64_t g_random;
static const char *g_watch;
static int64_t g_cut_after = -1;
static uint64_t g_watched_bytes, g_connections, g_cuts;
static volatile sig_atomic_t g_report, g_stop;

static int64_t now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

/* xorshift64*: deterministic for a seed, and cheap. */
static double next_random(void)
{
    g_random ^= g_random >> 12;
    g_random ^= g_random << 25;
    g_random ^= g_random >> 27;
    return (double)((g_random * 2685821657736338717ULL) >> 11) / 9007199254740992.0;
}

static void on_signal(int signal)
{
    if (signal == SIGUSR1)
        g_report = 1;
    else
        g_stop = 1;
}

static int fail(const char *what)
{
    fprintf(stderr, "delay_line: %s: %s\n", what, strerror(errno));
    return 1;
}

/* Makes DEVICE in the namespace at path; returns its descriptor or -1. The device lives as long
   as the descriptor and stays in that namespace. */
static int open_device(const char *netns, const char *name)
{
    int ns = open(netns, O_RDONLY | O_CLOEXEC);
    if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
        return -1;
    close(ns);
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    struct ifreq request;
    memset(&request, 0, sizeof request);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    snprintf(request.ifr_name, IFNAMSIZ, "%s", name);
    if (fd < 0 || ioctl(fd, TUNSETIFF, &request) != 0)
        return -1;
    return fd;
}

static uint16_t get16(const uint8_t *p)
{
    return (uint16_t)(p[0] << 8 | p[1]);
}
static uint32_t get32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | get16(p + 2);
}
static void put16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
static void put32(uint8_t *p, uint32_t v)
{
    put16(p, (uint16_t)(v >> 16));
    put16(p + 2, (uint16_t)v);
}

static uint32_t sum16(const uint8_t *p, size_t n, uint32_t sum)
{
    for (; n > 1; p += 2, n -= 2)
        sum += get16(p);
    if (n)
        sum += (uint32_t)p[0] << 8;
    return sum;
}

static uint16_t fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return (uint16_t)~sum;
}

/* Appends a packet to a direction's line, to arrive after the one-way delay behind everything
   already on it. through_queue: it takes its turn in the queue (and may be dropped there). */
static void send_on(struct Direction *d, const uint8_t *data, size_t length, int through_queue)
{
    const int64_t now = now_ns();
    if (d->count == SLOTS) {
        ++d->ring_drops;
        return;
    }
    int64_t departure = now;
    if (through_queue) {
        const int64_t start = d->last_departure > now ? d->last_departure : now;
        const double backlog = (double)(start - now) / d->ns_per_byte;
        if (backlog + (double)length > (double)d->queue_bytes) {
            ++d->queue_drops;
            return;
        }
        departure = start + (int64_t)((double)length * d->ns_per_byte);
        d->last_departure = departure;
    }
    struct Packet *p = &d->slots[(d->head + d->count) % SLOTS];
    ++d->count;
    p->due_ns = departure + g_delay_ns;
    /* A reset made here goes behind what is queued, never overtakes it. */
    if (d->count > 1) {
        const int64_t before = d->slots[(d->head + d->count - 2) % SLOTS].due_ns;
        if (p->due_ns < before)
            p->due_ns = before;
    }
    p->length = (uint16_t)length;
    memcpy(p->data, data, length);
    ++d->packets;
    d->bytes += length;
}

/* Sends a reset from one end of a connection to the other, on the line of the given direction,
   with the sequence number the receiver expects (else it answers with a challenge ACK). */
static void send_reset(int direction, const uint8_t *from_address, const uint8_t *to_address,
                       const uint8_t *from_port, const uint8_t *to_port, uint32_t sequence)
{
    uint8_t r[40];
    memset(r, 0, sizeof r);
    r[0] = 0x45;
    put16(r + 2, sizeof r);
    r[6] = 0x40; /* don't fragment */
    r[8] = 64;
    r[9] = IPPROTO_TCP;
    memcpy(r + 12, from_address, 4);
    memcpy(r + 16, to_address, 4);
    put16(r + 10, fold(sum16(r, 20, 0)));
    uint8_t *t = r + 20;
    memcpy(t, from_port, 2);
    memcpy(t + 2, to_port, 2);
    put32(t + 4, sequence);
    t[12] = 5 << 4;
    t[13] = 0x04; /* RST */
    const uint32_t pseudo = sum16(r + 12, 8, 0) + IPPROTO_TCP + 20;
    put16(t + 16, fold(sum16(t, 20, pseudo)));
    send_on(&g_line[direction], r, sizeof r, 0);
}

static int is_request(const uint8_t *payload, size_t n)
{
    static const char *const methods[] = {"GET ", "HEAD ", "POST ", "PUT ", "DELETE ", "OPTIONS "};
    for (size_t i = 0; i < sizeof methods / sizeof *methods; ++i) {
        const size_t k = strlen(methods[i]);
        if (n >= k && memcmp(payload, methods[i], k) == 0)
            return 1;
    }
    return 0;
}

/* Follows the TCP connections for the watched requests and the cut; returns 0 when the packet
   must not go on. Only IPv4 TCP is looked at; everything else passes. */
static int follow(int direction, const uint8_t *ip, size_t length)
{
    if (length < 20 || ip[0] >> 4 != 4 || ip[9] != IPPROTO_TCP)
        return 1;
    const size_t ip_header = (size_t)(ip[0] & 15) * 4;
    if (length < ip_header + 20)
        return 1;
    const uint8_t *tcp = ip + ip_header;
    const size_t tcp_header = (size_t)(tcp[12] >> 4) * 4;
    if (tcp_header < 20 || length < ip_header + tcp_header)
        return 1;
    const uint8_t flags = tcp[13];
    const int syn = flags & 0x02, ack = flags & 0x10, rst = flags & 0x04;
    struct Flow *flow = &g_flows[get16(direction == Up ? tcp : tcp + 2)];
    const uint32_t sequence = get32(tcp + 4);
    const size_t payload = length - ip_header - tcp_header;
    const uint32_t end = sequence + (uint32_t)payload + (syn ? 1 : 0);

    if (syn && !ack && direction == Up) { /* a new connection on this port */
        memset(flow, 0, sizeof *flow);
        ++g_connections;
        return 1;
    }
    if (flow->cut) {
        /* Every packet of it is dropped and its sender reset at the sequence number it
           acknowledges, as a firewall that rejects with a reset does. */
        if (!rst && ack)
            send_reset(direction == Down ? Up : Down, ip + 16, ip + 12, tcp + 2, tcp, get32(tcp + 8));
        return 0;
    }
    if (direction == Up) {
        if (payload > 0 && is_request(tcp + tcp_header, payload)) {
            const uint8_t *line = tcp + tcp_header;
            const uint8_t *line_end = memchr(line, '\r', payload);
            const size_t line_length = line_end ? (size_t)(line_end - line) : payload;
            flow->watched = g_watch && memmem(line, line_length, g_watch, strlen(g_watch)) != NULL;
            flow->answered = 0;
        }
        return 1;
    }
    if (syn) {
        flow->down_end = end;
        return 1;
    }
    const int32_t fresh = (int32_t)(end - flow->down_end);
    if (fresh <= 0)
        return 1;
    if (flow->watched) {
        if (g_cut_after >= 0 && flow->answered + fresh > g_cut_after) {
            flow->cut = 1;
            g_cut_after = -1;
            ++g_cuts;
            /* The server is reset by its own next packets (this one first); the client, which
               waits and sends nothing, at the byte it waits for. A hole left by a queue drop
               makes it answer with a challenge ACK instead, and that ACK gets the reset. */
            send_reset(Up, ip + 16, ip + 12, tcp + 2, tcp, get32(tcp + 8));
            send_reset(Down, ip + 12, ip + 16, tcp, tcp + 2, flow->down_end);
            return 0;
        }
        flow->answered += fresh;
        g_watched_bytes += (uint64_t)fresh;
    }
    flow->down_end = end;
    return 1;
}

static void report(void)
{
    printf("connections=%llu watched_bytes=%llu cuts=%llu", (unsigned long long)g_connections,
           (unsigned long long)g_watched_bytes, (unsigned long long)g_cuts);
    static const char *const names[] = {"down", "up"};
    for (int i = 0; i < Directions; ++i) {
        const struct Direction *d = &g_line[i];
        printf(" %s_packets=%llu %s_bytes=%llu %s_queue_drops=%llu %s_loss_drops=%llu %s_ring_drops=%llu",
               names[i], (unsigned long long)d->packets, names[i], (unsigned long long)d->bytes, names[i],
               (unsigned long long)d->queue_drops, names[i], (unsigned long long)d->loss_drops, names[i],
               (unsigned long long)d->ring_drops);
    }
    printf("\n");
    fflush(stdout);
}

/* Reads every packet waiting on the direction's input device. */
static void take(int direction)
{
    struct Direction *d = &g_line[direction];
    uint8_t buffer[SLOT_BYTES];
    for (;;) {
        const ssize_t n = read(d->from, buffer, sizeof buffer);
        if (n <= 0)
            return;
        if (g_loss > 0 && next_random() < g_loss) {
            ++d->loss_drops;
            continue;
        }
        if (follow(direction, buffer, (size_t)n))
            send_on(d, buffer, (size_t)n, 1);
    }
}

/* Writes what is due; returns the time the next packet is due, or -1. */
static int64_t deliver(struct Direction *d, int64_t now)
{
    while (d->count > 0) {
        struct Packet *p = &d->slots[d->head];
        if (p->due_ns > now)
            return p->due_ns;
        /* A full device queue on the other side drops the packet, as a NIC would. */
        if (write(d->to, p->data, p->length) < 0 && errno != EAGAIN && errno != EIO)
            fprintf(stderr, "delay_line: write: %s\n", strerror(errno));
        d->head = (d->head + 1) % SLOTS;
        --d->count;
    }
    return -1;
}

int main(int argc, char **argv)
{
    if (argc != 9 && argc != 10 && argc != 11) {
        fprintf(stderr,
                "usage: delay_line CLIENT_NETNS SERVER_NETNS DEVICE DOWN_BIT_S UP_BIT_S ROUND_TRIP_US "
                "LOSS SEED [WATCH [CUT_AFTER]]\n");
        return 2;
    }
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        return 1;
    /* The line's timing is the measurement: wake when a packet is due, not up to 50 us later,
       and before the programs it carries when the machine is busy. */
    prctl(PR_SET_TIMERSLACK, 1UL);
    struct sched_param priority = {.sched_priority = 1};
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0)
        fprintf(stderr, "delay_line: no real-time priority (%s): timings may be noisier\n", strerror(errno));

    const double rates[Directions] = {atof(argv[4]), atof(argv[5])};
    g_delay_ns = atoll(argv[6]) * 1000 / 2;
    g_loss = atof(argv[7]);
    g_random = strtoull(argv[8], NULL, 10) * 0x9E3779B97F4A7C15ULL + 1;
    if (argc > 9 && argv[9][0])
        g_watch = argv[9];
    if (argc > 10)
        g_cut_after = atoll(argv[10]);
    if (rates[Down] <= 0 || rates[Up] <= 0 || g_delay_ns < 0 || g_loss < 0 || g_loss >= 1) {
        fprintf(stderr,
                "delay_line: rates must be positive, the round trip not negative, the loss in [0, 1)\n");
        return 2;
    }

    const int client = open_device(argv[1], argv[3]);
    if (client < 0)
        return fail(argv[1]);
    const int server = open_device(argv[2], argv[3]);
    if (server < 0)
        return fail(argv[2]);
    for (int i = 0; i < Directions; ++i) {
        struct Direction *d = &g_line[i];
        d->from = i == Down ? server : client;
        d->to = i == Down ? client : server;
        d->ns_per_byte = 8e9 / rates[i];
        d->queue_bytes = (int64_t)(rates[i] / 8 * (double)g_delay_ns * 2 / 1e9);
        if (d->queue_bytes < 2 * SLOT_BYTES)
            d->queue_bytes = 2 * SLOT_BYTES;
        d->slots = malloc(sizeof(struct Packet) * SLOTS);
        if (!d->slots)
            return fail("memory");
    }

    sigset_t handled, during_wait;
    sigemptyset(&handled);
    sigaddset(&handled, SIGUSR1);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigprocmask(SIG_BLOCK, &handled, &during_wait);
    sigdelset(&during_wait, SIGUSR1);
    sigdelset(&during_wait, SIGTERM);
    sigdelset(&during_wait, SIGINT);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigaction(SIGUSR1, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);

    printf("ready\n");
    fflush(stdout);
    struct pollfd fds[Directions] = {{.fd = server, .events = POLLIN}, {.fd = client, .events = POLLIN}};
    while (!g_stop) {
        if (g_report) {
            g_report = 0;
            report();
        }
        const int64_t now = now_ns();
        int64_t next = -1;
        for (int i = 0; i < Directions; ++i) {
            const int64_t due = deliver(&g_line[i], now);
            if (due >= 0 && (next < 0 || due < next))
                next = due;
        }
        struct timespec wait, *timeout = NULL;
        if (next >= 0) {
            const int64_t left = next - now_ns();
            wait.tv_sec = left > 0 ? left / 1000000000 : 0;
            wait.tv_nsec = left > 0 ? left % 1000000000 : 0;
            timeout = &wait;
        }
        if (ppoll(fds, Directions, timeout, &during_wait) < 0 && errno != EINTR)
            return fail("ppoll");
        for (int i = 0; i < Directions; ++i)
            if (fds[i].revents & POLLIN)
                take(i);
    }
    report();
    return 0;
}
