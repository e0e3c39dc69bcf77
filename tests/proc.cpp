// SPDX-License-Identifier: ISC
#include "proc.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

namespace harness {

namespace {

[[noreturn]] void fail(const std::string &what)
{
	throw std::runtime_error(what + ": " + strerror(errno));
}

// The descriptors of pid that are sockets, with the sockets' inodes.
std::vector<std::pair<int, std::string>> socket_inodes(pid_t pid)
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

// An exit status as a number: the status, or 128 + the signal.
int decode(int st)
{
	return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

} // namespace

long long now_us()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

long long now_ms()
{
	return now_us() / 1000;
}

bool until(int timeout_ms, const std::function<bool()> &done, int fd)
{
	const long long deadline = now_ms() + timeout_ms;
	for (;;) {
		if (done())
			return true;
		long long left = std::min(deadline - now_ms(), 5LL);
		if (left <= 0)
			return false;
		pollfd p = {fd, POLLIN, 0};
		poll(&p, fd >= 0 ? 1 : 0, static_cast<int>(left));
	}
}

int reap(pid_t pid, int timeout_ms)
{
	// Readable once the process has ended.
	int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
	int st = 0;
	bool ended = until(
	    timeout_ms, [&] { return waitpid(pid, &st, WNOHANG) == pid; }, fd);
	if (fd >= 0)
		close(fd);
	return ended ? decode(st) : -1;
}

pid_t start(const args &argv, output to, const std::string &file, int *out,
    int *err, const std::string &in, int *in_pipe)
{
	std::vector<char *> cargv;
	for (auto &a : argv)
		cargv.push_back(const_cast<char *>(a.c_str()));
	cargv.push_back(nullptr);

	int po[2] = {-1, -1}, pe[2], pi[2] = {-1, -1};
	int fo = -1;
	if (!file.empty()) {
		fo = open(file.c_str(),
		    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
		if (fo < 0)
			fail("open " + file);
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
	if (pipe2(pe, O_CLOEXEC) < 0 ||
	    (in_pipe != nullptr && pipe2(pi, O_CLOEXEC) < 0))
		fail("pipe");
	pid_t parent = getpid();
	pid_t pid = fork();
	if (pid < 0)
		fail("fork");
	if (pid == 0) {
		setpgid(0, 0);
		// Dies with the process that started it, even when that one
		// is killed (and at once, if it has gone already).
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (getppid() != parent)
			_exit(127);
		int fi = pi[0] >= 0
		    ? pi[0]
		    : open(in.empty() ? "/dev/null" : in.c_str(),
		          O_RDONLY | O_CLOEXEC);
		dup2(fi, 0);
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
	if (in_pipe != nullptr) {
		close(pi[0]);
		*in_pipe = pi[1];
	}
	*out = po[0];
	*err = pe[0];
	return pid;
}

int bound(pid_t pid, int port, int timeout_ms)
{
	int found = 0;
	until(timeout_ms, [&] {
		std::set<int> p = ports(pid);
		found = port == 0 ? (p.empty() ? 0 : *p.begin())
		                  : (p.count(port) ? port : 0);
		return found != 0;
	});
	return found;
}

std::vector<int> socket_fds(pid_t pid)
{
	std::vector<int> fds;
	for (const auto &fd : socket_inodes(pid))
		fds.push_back(fd.first);
	return fds;
}

bool drain(int fd, std::string &s)
{
	char b[65536];
	ssize_t n = read(fd, b, sizeof b);
	if (n > 0)
		s.append(b, static_cast<size_t>(n));
	return n > 0 || (n < 0 && errno == EINTR);
}

std::vector<pid_t> family(pid_t pid)
{
	std::multimap<pid_t, pid_t> children;
	if (DIR *d = opendir("/proc")) {
		while (dirent *e = readdir(d)) {
			std::ifstream f(
			    std::string("/proc/") + e->d_name + "/stat");
			std::string stat, state;
			pid_t parent = 0;
			// pid (name) state ppid: the name may hold blanks.
			if (std::getline(f, stat) &&
			    std::istringstream(
			        stat.substr(stat.rfind(')') + 1)) >>
			        state >> parent)
				children.emplace(parent, atoi(e->d_name));
		}
		closedir(d);
	}
	std::vector<pid_t> all = {pid};
	for (size_t i = 0; i < all.size(); i++) {
		auto range = children.equal_range(all[i]);
		for (auto c = range.first; c != range.second; ++c)
			all.push_back(c->second);
	}
	return all;
}

namespace {

// The inodes of the sockets that pid, or a process it started, holds.
std::set<std::string> sockets(pid_t pid)
{
	std::set<std::string> inodes;
	for (pid_t p : family(pid))
		for (const auto &fd : socket_inodes(p))
			inodes.insert(fd.second);
	return inodes;
}

} // namespace

std::vector<std::vector<std::string>> rows(pid_t pid, const char *table)
{
	std::set<std::string> inodes = sockets(pid);
	std::vector<std::vector<std::string>> found;
	std::ifstream t("/proc/" + std::to_string(pid) + "/net/" + table);
	std::string line;
	std::getline(t, line);
	while (std::getline(t, line)) {
		std::istringstream f(line);
		std::vector<std::string> row{
		    std::istream_iterator<std::string>(f), {}};
		// The inode is the tenth column of both tables read here.
		if (row.size() > 9 && inodes.count(row[9]))
			found.push_back(row);
	}
	return found;
}

std::set<int> ports(pid_t pid)
{
	std::set<int> found;
	for (const auto &row : rows(pid, "udp"))
		found.insert(static_cast<int>(strtol(
		    row[1].substr(row[1].find(':') + 1).c_str(), nullptr, 16)));
	return found;
}

udp::udp(int port, bool reuse, const char *addr, pid_t net)
{
	// A socket stays in the network namespace it was made in.
	int home = -1;
	if (net != 0) {
		home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
		std::string there = "/proc/" + std::to_string(net) + "/ns/net";
		int fd = open(there.c_str(), O_RDONLY | O_CLOEXEC);
		if (home < 0 || fd < 0 || setns(fd, CLONE_NEWNET) < 0)
			fail("setns " + there);
		close(fd);
	}
	fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (home >= 0) {
		if (setns(home, CLONE_NEWNET) < 0)
			fail("setns back");
		close(home);
	}
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

udp::~udp()
{
	close(fd_);
}

bool udp::recv(std::string &data, sockaddr_in *from, int timeout_ms)
{
	pollfd p = {fd_, POLLIN, 0};
	if (poll(&p, 1, timeout_ms) <= 0)
		return false;
	static char b[70000];
	sockaddr_in a{};
	socklen_t len = sizeof a;
	ssize_t n = recvfrom(
	    fd_, b, sizeof b, 0, reinterpret_cast<sockaddr *>(&a), &len);
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
	if (sendto(fd_, data.data(), data.size(), 0,
	        reinterpret_cast<sockaddr *>(&a),
	        sizeof a) != static_cast<ssize_t>(data.size()))
		fail("sendto");
}

int freeport()
{
	udp u(0, false, "0.0.0.0");
	return u.port();
}

} // namespace harness
