// SPDX-License-Identifier: ISC
#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace harness {

long long now_ms()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

namespace {

void nap() { usleep(5000); }

std::string env(const char *name, const char *fallback = "")
{
	const char *v = getenv(name);
	return v != nullptr ? v : fallback;
}

[[noreturn]] void fail(const std::string &what)
{
	throw std::runtime_error(what + ": " + strerror(errno));
}

// Starts wrap + prefix + argv in a process group of its own, stdin from
// /dev/null, stdout to outfile or as `to` says (*out reads it back), stderr
// to *err. The program dies with the test process, even when that is
// killed, so that no receiver outlives a run.
pid_t spawn(const args &argv, const args &wrap, const std::string &outfile,
    output to, int *out, int *err)
{
	// The prefix starts the programs under test, and nothing else.
	args full = wrap;
	if (!argv.empty() && (argv[0] == tossgram() || argv[0] == server()))
		for (const auto &p : prefix())
			full.push_back(p);
	full.insert(full.end(), argv.begin(), argv.end());
	std::vector<char *> cargv;
	for (auto &a : full)
		cargv.push_back(const_cast<char *>(a.c_str()));
	cargv.push_back(nullptr);

	int po[2] = {-1, -1}, pe[2];
	int fo = -1;
	if (!outfile.empty()) {
		fo = open(outfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
		if (fo < 0)
			fail("open " + outfile);
	} else if (to == output::pipe) {
		if (pipe2(po, O_CLOEXEC) < 0)
			fail("pipe");
		fo = po[1];
	} else if (to == output::pty) {
		po[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
		if (po[0] < 0 || grantpt(po[0]) < 0 || unlockpt(po[0]) < 0)
			fail("posix_openpt");
		fo = open(ptsname(po[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
		termios t{};
		if (fo < 0 || tcgetattr(fo, &t) < 0)
			fail("pty");
		// Bytes as the program wrote them: no newline turned into
		// CR LF, no tab expanded.
		t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
		tcsetattr(fo, TCSANOW, &t);
	}
	if (pipe2(pe, O_CLOEXEC) < 0)
		fail("pipe");
	pid_t parent = getpid();
	pid_t pid = fork();
	if (pid < 0)
		fail("fork");
	if (pid == 0) {
		setpgid(0, 0);
		die_with(parent);
		int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
		dup2(in, 0);
		if (fo >= 0)
			dup2(fo, 1);
		else
			close(1);
		dup2(pe[1], 2);
		execvp(cargv[0], cargv.data());
		dprintf(2, "exec %s: %s\n", cargv[0], strerror(errno));
		_exit(127);
	}
	setpgid(pid, pid);
	if (fo >= 0)
		close(fo);
	close(pe[1]);
	*out = po[0];
	*err = pe[0];
	return pid;
}

// A sanitizer build reports on standard error; any report fails the test
// that started the program, whatever else the test checks.
void clean(const std::string &err)
{
	for (const char *mark : {"runtime error:", "Sanitizer", "==ERROR"})
		if (err.find(mark) != std::string::npos)
			ADD_FAILURE() << "sanitizer report:\n" << err;
}

int decode(int st)
{
	return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Reads what fd has now into s; false at end of file.
bool drain(int fd, std::string &s)
{
	char b[65536];
	ssize_t n = read(fd, b, sizeof b);
	if (n > 0)
		s.append(b, static_cast<size_t>(n));
	return n > 0 || (n < 0 && errno == EINTR);
}

// The descriptors of pid that are sockets, with the sockets' inodes.
std::vector<std::pair<int, std::string>> socket_fds(pid_t pid)
{
	std::vector<std::pair<int, std::string>> fds;
	std::string dir = "/proc/" + std::to_string(pid) + "/fd";
	if (DIR *d = opendir(dir.c_str())) {
		while (dirent *e = readdir(d)) {
			char l[64] = {};
			std::string p = dir + "/" + e->d_name;
			if (readlink(p.c_str(), l, sizeof l - 1) > 0 &&
			    strncmp(l, "socket:[", 8) == 0)
				fds.emplace_back(atoi(e->d_name),
				    std::string(l + 8, strcspn(l + 8, "]")));
		}
		closedir(d);
	}
	return fds;
}

// Ports of the UDP sockets that pid holds, from its own network namespace.
std::set<int> ports(pid_t pid)
{
	std::set<std::string> inodes;
	for (const auto &fd : socket_fds(pid))
		inodes.insert(fd.second);
	std::set<int> found;
	std::ifstream t("/proc/" + std::to_string(pid) + "/net/udp");
	std::string line;
	std::getline(t, line);
	while (std::getline(t, line)) {
		std::istringstream f(line);
		std::string sl, local, remote, st, queues, tr, retr, uid, timeout, inode;
		f >> sl >> local >> remote >> st >> queues >> tr >> retr >> uid >>
		    timeout >> inode;
		if (inodes.count(inode))
			found.insert(static_cast<int>(
			    strtol(local.substr(local.find(':') + 1).c_str(), nullptr, 16)));
	}
	return found;
}

// Runs cmd with sh; like system, but the shell dies with the test process.
bool sh(const std::string &cmd, std::string *why)
{
	pid_t parent = getpid();
	pid_t pid = fork();
	if (pid == 0) {
		die_with(parent);
		execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	int st = -1;
	if (pid < 0 || waitpid(pid, &st, 0) < 0)
		st = -1;
	if (st != 0 && why != nullptr && why->empty())
		*why = cmd + " failed";
	return st == 0;
}

void write_file(const std::string &path, const std::string &text)
{
	std::ofstream(path) << text;
}

// The files that ip netns exec, or loopback(), lays over /etc for the
// namespace ns: the hosts file given, and a resolver that cannot answer, so
// that no lookup ever reaches the machine's own name server.
bool etc(const std::string &ns, const std::string &hosts, std::string *why)
{
	std::string dir = "/etc/netns/" + ns;
	if (!sh("mkdir -p " + dir + " 2>/dev/null", why))
		return false;
	write_file(dir + "/hosts", hosts);
	write_file(dir + "/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
	write_file(dir + "/nsswitch.conf", "hosts: files dns\n");
	return true;
}

std::string loopback_ns() { return netns_prefix + std::to_string(getpid()) + "_lo"; }

}  // namespace

args loopback()
{
	static const args wrap = [] {
		std::string why;
		if (!sh("unshare -m true 2>/dev/null", &why) ||
		    !etc(loopback_ns(), "127.0.0.1 localhost\n", &why)) {
			if (must_run())
				ADD_FAILURE() << "no hosts file of the suite's own: " << why;
			return args{};
		}
		// In a mount namespace of its own, so that nothing else sees it.
		return args{"unshare", "-m", "sh", "-c",
		    "for f in hosts resolv.conf nsswitch.conf; do"
		    " [ ! -e /etc/$f ] || mount --bind \"$0/$f\" /etc/$f || exit 127; done;"
		    " exec \"$@\"",
		    "/etc/netns/" + loopback_ns()};
	}();
	return wrap;
}

bool must_run() { return !env("TEST_REQUIRE_NETNS").empty(); }

void die_with(pid_t parent)
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	if (getppid() != parent)
		_exit(127);
}

std::string tossgram() { return env("TOSSGRAM", TOSSGRAM_BIN); }
std::string server() { return env("SERVER", SERVER_BIN); }

args prefix()
{
	args p;
	std::istringstream f(env("TEST_PREFIX", PREFIX_DEFAULT));
	for (std::string w; f >> w;)
		p.push_back(w);
	return p;
}

std::string libc()
{
	std::string forced = env("TEST_LIBC", LIBC_DEFAULT);
	if (!forced.empty())
		return forced;
	std::ifstream f(server(), std::ios::binary);
	std::string bytes((std::istreambuf_iterator<char>(f)),
	    std::istreambuf_iterator<char>());
	return bytes.find("ld-musl-") != std::string::npos ? "musl" : "glibc";
}

result run(const args &argv, const args &wrap, int timeout_ms)
{
	result r;
	int out, err;
	pid_t pid = spawn(argv, wrap, "", output::pipe, &out, &err);
	long long deadline = now_ms() + timeout_ms;
	bool oopen = true, eopen = true;
	while ((oopen || eopen) && now_ms() < deadline) {
		pollfd p[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
		if (poll(p, 2, static_cast<int>(deadline - now_ms())) <= 0)
			continue;
		if (oopen && p[0].revents != 0)
			oopen = drain(out, r.out);
		if (eopen && p[1].revents != 0)
			eopen = drain(err, r.err);
	}
	int st = 0;
	while (waitpid(pid, &st, WNOHANG) == 0) {
		if (now_ms() >= deadline) {
			kill(-pid, SIGKILL);
			waitpid(pid, &st, 0);
			break;
		}
		nap();
	}
	r.status = decode(st);
	clean(r.err);
	close(out);
	close(err);
	return r;
}

proc::proc(const args &argv, const args &wrap, output to, const std::string &file)
{
	pid_ = spawn(argv, wrap, file, to, &out_, &err_);
}

proc::~proc()
{
	if (!reaped_) {
		kill(-pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
		reaped_ = true;
	}
	clean(err());
	if (out_ >= 0)
		close(out_);
	close(err_);
}

testing::AssertionResult proc::line(std::string &l, int timeout_ms)
{
	long long deadline = now_ms() + timeout_ms;
	for (;;) {
		size_t nl = buf_.find('\n');
		if (nl != std::string::npos) {
			l = buf_.substr(0, nl);
			buf_.erase(0, nl + 1);
			return testing::AssertionSuccess() << "a line: \"" << l << "\"";
		}
		long long left = deadline - now_ms();
		pollfd p = {out_, POLLIN, 0};
		if (left <= 0 || out_ < 0 ||
		    (poll(&p, 1, static_cast<int>(left)) > 0 && !drain(out_, buf_)))
			return testing::AssertionFailure()
			    << "no line" << (buf_.empty() ? "" : ", only \"" + buf_ + "\"")
			    << "; standard error: \"" << err() << "\"";
	}
}

bool proc::ended(int timeout_ms, int *status)
{
	long long deadline = now_ms() + timeout_ms;
	while (!reaped_) {
		int st = 0;
		if (waitpid(pid_, &st, WNOHANG) == pid_) {
			reaped_ = true;
			status_ = decode(st);
		} else if (now_ms() >= deadline) {
			return false;
		} else {
			nap();
		}
	}
	if (status != nullptr)
		*status = status_;
	return true;
}

std::string proc::err()
{
	// Up to the end of file once the process has ended: a program under
	// an emulator may close it a moment later.
	long long deadline = now_ms() + (ended(0) ? 2000 : 50);
	for (;;) {
		pollfd p = {err_, POLLIN, 0};
		long long left = deadline - now_ms();
		if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0 ||
		    !drain(err_, errbuf_))
			return errbuf_;
	}
}

void proc::signal(int sig) { kill(pid_, sig); }

int proc::bound(int port, int timeout_ms)
{
	long long deadline = now_ms() + timeout_ms;
	for (;;) {
		std::set<int> p = ports(pid_);
		if (port == 0 && !p.empty())
			return *p.begin();
		if (port != 0 && p.count(port))
			return port;
		if (now_ms() >= deadline)
			return 0;
		nap();
	}
}

std::vector<int> proc::sockets() const
{
	std::vector<int> fds;
	for (const auto &fd : socket_fds(pid_))
		fds.push_back(fd.first);
	return fds;
}

udp::udp(int port, bool reuse, const char *addr)
{
	fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd_ < 0)
		fail("socket");
	int one = 1;
	if (reuse)
		setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
	int big = 1 << 20;
	setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = inet_addr(addr);
	if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0)
		fail("bind " + std::to_string(port));
	socklen_t len = sizeof a;
	getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
	port_ = ntohs(a.sin_port);
}

udp::~udp() { close(fd_); }

bool udp::recv(std::string &data, sockaddr_in *from, int timeout_ms)
{
	pollfd p = {fd_, POLLIN, 0};
	if (poll(&p, 1, timeout_ms) <= 0)
		return false;
	static char b[70000];
	sockaddr_in a{};
	socklen_t len = sizeof a;
	ssize_t n = recvfrom(fd_, b, sizeof b, 0, reinterpret_cast<sockaddr *>(&a), &len);
	if (n < 0)
		return false;
	data.assign(b, static_cast<size_t>(n));
	if (from != nullptr)
		*from = a;
	return true;
}

void udp::send(const std::string &data, int port, const char *addr)
{
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = inet_addr(addr);
	if (sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&a),
	    sizeof a) != static_cast<ssize_t>(data.size()))
		fail("sendto");
}

int freeport()
{
	udp u(0, false, "0.0.0.0");
	return u.port();
}

hosts::hosts(const std::vector<std::string> &files)
{
	static int made = 0;
	std::string id = netns_prefix + std::to_string(getpid()) + "_" + std::to_string(made++);
	for (size_t i = 0; i < files.size(); i++)
		ns_.push_back(id + static_cast<char>('a' + i));
	for (const auto &ns : ns_)
		if (!harness::sh("ip netns add " + ns, &why_)) {
			why_ = "cannot make network namespaces here (" + why_ + ")";
			return;
		}
	ok_ = true;
	for (size_t i = 0; i < files.size(); i++)
		ok_ = ok_ && sh(i, "ip link set lo up") && harness::etc(ns_[i], files[i], &why_);
}

std::string hosts::link(size_t i, const std::string &addr_i, size_t j, const std::string &addr_j)
{
	// The ends are named after the host they are in and the host they
	// lead to, "v" in front: within the 15 characters of a link name.
	const std::string vi = "v" + ns_[i] + ns_[j].back(), vj = "v" + ns_[j] + ns_[i].back();
	links_.push_back(vi);
	links_.push_back(vj);
	ok_ = ok_ && harness::sh("ip link add " + vi + " type veth peer name " + vj, &why_) &&
	    harness::sh("ip link set " + vi + " netns " + ns_[i], &why_) &&
	    harness::sh("ip link set " + vj + " netns " + ns_[j], &why_) &&
	    sh(i, "ip addr add " + addr_i + " dev " + vi) &&
	    sh(j, "ip addr add " + addr_j + " dev " + vj) && sh(i, "ip link set " + vi + " up") &&
	    sh(j, "ip link set " + vj + " up");
	return vi;
}

bool hosts::sh(size_t i, const std::string &cmd)
{
	return harness::sh("ip netns exec " + ns_[i] + " " + cmd, &why_);
}

hosts::~hosts()
{
	for (const auto &ns : ns_) {
		harness::sh("ip netns del " + ns + " >/dev/null 2>&1", nullptr);
		harness::sh("rm -rf /etc/netns/" + ns, nullptr);
	}
	for (const auto &l : links_)
		harness::sh("ip link del " + l + " >/dev/null 2>&1", nullptr);
}

namespace {

// The entries of a folder whose names the suite made, in a run that has
// since gone: PREFIX PID _ NAME, and the same after "v" for links.
std::vector<std::string> stale(const std::string &dir)
{
	static const std::regex name(std::string("v?") + netns_prefix + "([0-9]+)_[0-9a-z]+");
	std::vector<std::string> found;
	if (DIR *d = opendir(dir.c_str())) {
		while (dirent *e = readdir(d)) {
			std::cmatch m;
			if (!std::regex_match(e->d_name, m, name))
				continue;
			pid_t pid = static_cast<pid_t>(std::stol(m[1]));
			if (kill(pid, 0) < 0 && errno == ESRCH)
				found.push_back(e->d_name);
		}
		closedir(d);
	}
	return found;
}

struct sweeper : testing::Environment {
	void SetUp() override { sweep(); }
	void TearDown() override { sh("rm -rf /etc/netns/" + loopback_ns(), nullptr); }
};

const testing::Environment *const swept =
    testing::AddGlobalTestEnvironment(new sweeper);

}  // namespace

void sweep()
{
	for (const auto &ns : stale("/run/netns"))
		sh("ip netns del " + ns + " >/dev/null 2>&1", nullptr);
	for (const auto &link : stale("/sys/class/net"))
		sh("ip link del " + link + " >/dev/null 2>&1", nullptr);
	for (const auto &dir : stale("/etc/netns"))
		sh("rm -rf /etc/netns/" + dir, nullptr);
}

}  // namespace harness
