// SPDX-License-Identifier: ISC
// init: PID 1 of the full-system check. On a MIPS 24Kc kernel without FPU
// support it mounts what the programs need, brings up lo and eth0 (qemu's
// user-mode network: 10.0.2.15/24, the host at 10.0.2.2), runs the pair
// through each check, prints one result line per check on the console and
// powers off. Static, against the target's musl; never installed.
//
// Result lines: "tossgram-vm: ok NAME" or "tossgram-vm: FAIL NAME: WHY",
// then "tossgram-vm: done". "tossgram-vm: ready NAME" asks the host to do
// its part of a check.
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

int failures = 0;

void result(const char *name, const char *why)
{
	if (why == nullptr) {
		printf("tossgram-vm: ok %s\n", name);
	} else {
		printf("tossgram-vm: FAIL %s: %s\n", name, why);
		failures++;
	}
	fflush(stdout);
}

long long now_ms()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void nap(int ms)
{
	timespec ts{ms / 1000, (ms % 1000) * 1000000L};
	nanosleep(&ts, nullptr);
}

// Starts argv with standard output to *out (a pipe's read end) or to the
// file path; standard error to the console.
pid_t start(const char *const argv[], int *out, const char *path = nullptr)
{
	int p[2] = {-1, -1};
	if (path == nullptr && pipe(p) < 0)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		int fd = path != nullptr
		    ? open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644)
		    : p[1];
		dup2(fd, 1);
		if (p[0] >= 0)
			close(p[0]);
		execv(argv[0], const_cast<char *const *>(argv));
		_exit(127);
	}
	if (p[1] >= 0)
		close(p[1]);
	if (out != nullptr)
		*out = p[0];
	return pid;
}

// Runs argv to its end; its exit status, or -1.
int run(const char *const argv[])
{
	pid_t pid = start(argv, nullptr, "/dev/null");
	int st = 0;
	if (pid < 0 || waitpid(pid, &st, 0) < 0 || !WIFEXITED(st))
		return -1;
	return WEXITSTATUS(st);
}

// One line from fd into buf, without its newline; false on timeout.
bool line(int fd, char *buf, size_t size, int timeout_ms)
{
	size_t n = 0;
	long long deadline = now_ms() + timeout_ms;
	while (n + 1 < size) {
		pollfd p = {fd, POLLIN, 0};
		long long left = deadline - now_ms();
		if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
			return false;
		char c;
		if (read(fd, &c, 1) != 1)
			return false;
		if (c == '\n')
			break;
		buf[n++] = c;
	}
	buf[n] = '\0';
	return true;
}

// True once pid holds a UDP socket on port: /proc/net/udp lists it.
bool bound(int port, int timeout_ms)
{
	char want[16];
	snprintf(want, sizeof want, ":%04X ", port);
	for (long long deadline = now_ms() + timeout_ms; now_ms() < deadline;
	     nap(10)) {
		FILE *f = fopen("/proc/net/udp", "r");
		if (f == nullptr)
			continue;
		char l[256];
		bool found = false;
		while (!found && fgets(l, sizeof l, f) != nullptr)
			found = strstr(l, want) != nullptr;
		fclose(f);
		if (found)
			return true;
	}
	return false;
}

void stop(pid_t pid)
{
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
}

bool up(int s, const char *name, const char *addr, const char *mask)
{
	ifreq ifr{};
	strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
	if (addr != nullptr) {
		auto *sin = reinterpret_cast<sockaddr_in *>(&ifr.ifr_addr);
		sin->sin_family = AF_INET;
		sin->sin_addr.s_addr = inet_addr(addr);
		if (ioctl(s, SIOCSIFADDR, &ifr) < 0)
			return false;
		sin->sin_addr.s_addr = inet_addr(mask);
		if (ioctl(s, SIOCSIFNETMASK, &ifr) < 0)
			return false;
	}
	if (ioctl(s, SIOCGIFFLAGS, &ifr) < 0)
		return false;
	ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
	return ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
}

bool network()
{
	int s = socket(AF_INET, SOCK_DGRAM, 0);
	if (s < 0 || !up(s, "lo", nullptr, nullptr) ||
	    !up(s, "eth0", "10.0.2.15", "255.255.255.0"))
		return false;
	rtentry rt{};
	auto *dst = reinterpret_cast<sockaddr_in *>(&rt.rt_dst);
	auto *gw = reinterpret_cast<sockaddr_in *>(&rt.rt_gateway);
	auto *mask = reinterpret_cast<sockaddr_in *>(&rt.rt_genmask);
	dst->sin_family = gw->sin_family = mask->sin_family = AF_INET;
	gw->sin_addr.s_addr = inet_addr("10.0.2.2");
	rt.rt_flags = RTF_UP | RTF_GATEWAY;
	bool ok = ioctl(s, SIOCADDRT, &rt) == 0;
	close(s);
	return ok;
}

// The value of NAME=... on the kernel's command line, or 0.
int param(const char *name)
{
	char cmdline[1024] = {};
	int fd = open("/proc/cmdline", O_RDONLY);
	if (fd < 0 || read(fd, cmdline, sizeof cmdline - 1) < 0)
		return 0;
	close(fd);
	const char *p = strstr(cmdline, name);
	return p != nullptr ? atoi(p + strlen(name) + 1) : 0;
}

// Runs the sender argv; why the receiver's next line on out is not want,
// or nullptr.
const char *printed(const char *const argv[], int out, const char *want)
{
	char l[256];
	if (run(argv) != 0)
		return "tossgram failed";
	if (!line(out, l, sizeof l, 10000))
		return "no line";
	return strcmp(l, want) == 0 ? nullptr : "wrong line";
}

// The pair on loopback: the default text, then a message.
void pair()
{
	const char *srv[] = {"/bin/server", "9001", nullptr};
	int out = -1;
	pid_t pid = start(srv, &out);
	if (!bound(9001, 10000)) {
		result("loopback_default", "server did not bind");
		result("loopback_message", "server did not bind");
		stop(pid);
		return;
	}
	const char *def[] = {
	    "/bin/tossgram", "40000", "127.0.0.1", "9001", nullptr};
	const char *msg[] = {"/bin/tossgram", "40001", "127.0.0.1", "9001",
	    "hello, router", nullptr};
	result("loopback_default", printed(def, out, "flarn"));
	result("loopback_message", printed(msg, out, "hello, router"));
	stop(pid);
	close(out);
}

// The start of the file at path, as a string in buf.
const char *slurp(const char *path, char *buf, size_t size)
{
	memset(buf, 0, size);
	int fd = open(path, O_RDONLY);
	if (fd >= 0) {
		if (read(fd, buf, size - 1) < 0)
			buf[0] = '\0';
		close(fd);
	}
	return buf;
}

// Output to a file keeps every line after SIGTERM.
void sigterm()
{
	const char *name = "sigterm_keeps_lines";
	const char *srv[] = {"/bin/server", "9002", nullptr};
	pid_t pid = start(srv, nullptr, "/tmp/lines");
	if (!bound(9002, 10000)) {
		stop(pid);
		return result(name, "server did not bind");
	}
	const char *texts[] = {"one", "two", "three"};
	for (const char *text : texts) {
		const char *a[] = {
		    "/bin/tossgram", "0", "127.0.0.1", "9002", text, nullptr};
		run(a);
	}
	const char *want = "one\ntwo\nthree\n";
	char got[64];
	for (long long deadline = now_ms() + 10000; now_ms() < deadline;
	     nap(20))
		if (strcmp(slurp("/tmp/lines", got, sizeof got), want) == 0)
			break;
	kill(pid, SIGTERM);
	int st = 0;
	waitpid(pid, &st, 0);
	slurp("/tmp/lines", got, sizeof got);
	if (!WIFSIGNALED(st) || WTERMSIG(st) != SIGTERM)
		result(name, "server did not end by SIGTERM");
	else
		result(name, strcmp(got, want) == 0 ? nullptr : "lines lost");
}

// Two receivers with address reuse on one port: the MIPS values of
// SOL_SOCKET and SO_REUSEADDR, on a real MIPS kernel.
void reuse()
{
	const char *srv[] = {"/bin/server", "9003", nullptr};
	pid_t a = start(srv, nullptr, "/dev/null");
	bool first = bound(9003, 10000);
	pid_t b = start(srv, nullptr, "/dev/null");
	nap(500);
	bool alive = waitpid(b, nullptr, WNOHANG) == 0 &&
	    waitpid(a, nullptr, WNOHANG) == 0;
	stop(a);
	stop(b);
	result("reuse_shares_a_port",
	    !first      ? "first did not bind"
	        : alive ? nullptr
	                : "the second did not start");
}

// tossgram to a listener of the test's on the host's 127.0.0.1, through
// the host alias 10.0.2.2; the host checks the bytes.
void to_host()
{
	int port = param("tg.hostport");
	char p[16];
	snprintf(p, sizeof p, "%d", port);
	const char *a[] = {"/bin/tossgram", "40002", "10.0.2.2", p,
	    "from the router", nullptr};
	result("sent_to_host",
	    port == 0         ? "no tg.hostport"
	        : run(a) == 0 ? nullptr
	                      : "tossgram failed");
}

// server receives what the host's tossgram sends through a port forward.
void from_host()
{
	const char *name = "received_from_host";
	const char *srv[] = {"/bin/server", "9000", nullptr};
	int out = -1;
	pid_t pid = start(srv, &out);
	if (!bound(9000, 10000)) {
		stop(pid);
		return result(name, "server did not bind");
	}
	printf("tossgram-vm: ready %s\n", name);
	fflush(stdout);
	char l[256];
	if (!line(out, l, sizeof l, 30000))
		result(name, "no line");
	else
		result(name,
		    strcmp(l, "from the host") == 0 ? nullptr : "wrong line");
	stop(pid);
	close(out);
}

// One FPU instruction kills its process: so a pass of the others shows
// that nothing of theirs ran one.
void fpu()
{
	pid_t pid = fork();
	if (pid == 0) {
		asm volatile(
		    ".set push\n.set hardfloat\nmtc1 $zero, $f0\n.set pop");
		_exit(0);
	}
	int st = 0;
	waitpid(pid, &st, 0);
	result("fpu_instruction_sigill",
	    WIFSIGNALED(st) && WTERMSIG(st) == SIGILL ? nullptr : "no SIGILL");
}

} // namespace

int main()
{
	mount("proc", "/proc", "proc", 0, nullptr);
	mount("sysfs", "/sys", "sysfs", 0, nullptr);
	mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
	setvbuf(stdout, nullptr, _IOLBF, 0);
	printf("tossgram-vm: start\n");

	result("network", network() ? nullptr : strerror(errno));
	pair();
	sigterm();
	reuse();
	to_host();
	from_host();
	fpu();

	printf("tossgram-vm: done, %d failed\n", failures);
	fflush(stdout);
	sync();
	reboot(RB_POWER_OFF);
	for (;;)
		pause();
}
