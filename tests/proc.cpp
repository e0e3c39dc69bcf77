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
#include <set>
#include <sstream>
#include <stdexcept>

namespace harness {

namespace {

[[noreturn]] void fail(const std::string &what)
{
	throw std::runtime_error(what + ": " + strerror(errno));
}

sockaddr_in address(const char *addr, int port)
{
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = inet_addr(addr);
	return a;
}

} // namespace

std::string fill(std::string text, long n)
{
	size_t at = text.find("{}");
	return at == std::string::npos ? text
	                               : text.replace(at, 2, std::to_string(n));
}

std::string slurp(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(f), {}};
}

std::vector<std::string> entries(const std::string &dir)
{
	std::vector<std::string> found;
	if (DIR *d = opendir(dir.c_str())) {
		while (dirent *e = readdir(d))
			found.push_back(e->d_name);
		closedir(d);
	}
	return found;
}

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
	for (const long long end = now_ms() + timeout_ms; !done();) {
		long long left = std::min(end - now_ms(), 5LL);
		if (left <= 0)
			return false;
		pollfd p = {fd, POLLIN, 0};
		poll(&p, fd >= 0 ? 1 : 0, static_cast<int>(left));
	}
	return true;
}

int reap(pid_t pid, int timeout_ms)
{
	// Readable once the process has ended: no poll interval to wait out.
	int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0)), st = 0;
	bool ended = until(
	    timeout_ms, [&] { return waitpid(pid, &st, WNOHANG) == pid; }, fd);
	if (fd >= 0)
		close(fd);
	if (!ended)
		return -1;
	return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

pid_t start(const args &argv, output to, const std::string &file, int *out,
    int *err, const std::string &in, int *in_pipe)
{
	std::vector<char *> cargv;
	for (auto &a : argv)
		cargv.push_back(const_cast<char *>(a.c_str()));
	cargv.push_back(nullptr);

	int po[2] = {-1, -1}, pe[2], pi[2] = {-1, -1}, fo = -1;
	if (!file.empty()) {
		fo = open(file.c_str(),
		    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
		if (fo >= 0 && tcgetattr(fo, &t) == 0) {
			// The bytes as written: no CR LF, no tabs expanded.
			t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
			tcsetattr(fo, TCSANOW, &t);
		}
	}
	if (((to != output::closed || !file.empty()) && fo < 0) ||
	    pipe2(pe, O_CLOEXEC) < 0 ||
	    (in_pipe != nullptr && pipe2(pi, O_CLOEXEC) < 0))
		fail("start " + argv[0]);
	pid_t parent = getpid(), pid = fork();
	if (pid < 0)
		fail("fork");
	if (pid == 0) {
		setpgid(0, 0);
		// Killed with the process that started it, even by SIGKILL,
		// and at once if that one is gone already.
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (getppid() != parent)
			_exit(127);
		dup2(pi[0] >= 0 ? pi[0]
		                : open(in.empty() ? "/dev/null" : in.c_str(),
		                      O_RDONLY | O_CLOEXEC),
		    0);
		if (fo < 0 || dup2(fo, 1) < 0)
			close(1);
		dup2(pe[1], 2);
		execvp(cargv[0], cargv.data());
		dprintf(2, "exec %s: %s\n", cargv[0], strerror(errno));
		_exit(127);
	}
	setpgid(pid, pid);
	// Read back without blocking, so that the one wait can watch them.
	for (int fd : {po[0], pe[0]})
		if (fd >= 0)
			fcntl(fd, F_SETFL, O_NONBLOCK);
	for (int fd : {fo, pe[1], pi[0]})
		if (fd >= 0)
			close(fd);
	if (in_pipe != nullptr)
		*in_pipe = pi[1];
	*out = po[0];
	*err = pe[0];
	return pid;
}

std::vector<pid_t> family(pid_t pid)
{
	std::multimap<pid_t, pid_t> children;
	for (const auto &p : entries("/proc")) {
		std::ifstream f("/proc/" + p + "/stat");
		std::string stat, state;
		pid_t parent = 0;
		// pid (name) state ppid: the name may hold blanks.
		if (std::getline(f, stat) &&
		    std::istringstream(stat.substr(stat.rfind(')') + 1)) >>
		        state >> parent)
			children.emplace(parent, atoi(p.c_str()));
	}
	std::vector<pid_t> all = {pid};
	for (size_t i = 0; i < all.size(); i++)
		for (auto [c, end] = children.equal_range(all[i]); c != end;
		     ++c)
			all.push_back(c->second);
	return all;
}

std::map<int, std::string> sockets(pid_t pid)
{
	std::map<int, std::string> found;
	const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
	for (const auto &fd : entries(dir)) {
		char l[64] = {};
		if (readlink((dir + fd).c_str(), l, sizeof l - 1) > 0 &&
		    strncmp(l, "socket:[", 8) == 0)
			found[atoi(fd.c_str())] =
			    std::string(l + 8, strcspn(l + 8, "]"));
	}
	return found;
}

std::vector<std::vector<std::string>> rows(pid_t pid, const char *table)
{
	std::set<std::string> inodes;
	for (pid_t p : family(pid))
		for (const auto &s : sockets(p))
			inodes.insert(s.second);
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

int bound(pid_t pid, int port, int timeout_ms)
{
	int found = 0;
	until(timeout_ms, [&] {
		for (const auto &row : rows(pid, "udp")) {
			int p = static_cast<int>(
			    strtol(row[1].substr(row[1].find(':') + 1).c_str(),
			        nullptr, 16));
			found = port == 0 || p == port ? p : found;
		}
		return found != 0;
	});
	return found;
}

udp::udp(int port, bool reuse, const char *addr, pid_t net)
{
	// A socket stays in the network namespace it was made in.
	const std::string there = "/proc/" + std::to_string(net) + "/ns/net";
	int home = net ? open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC) : -1,
	    fd = net ? open(there.c_str(), O_RDONLY | O_CLOEXEC) : -1;
	if (net && (home < 0 || fd < 0 || setns(fd, CLONE_NEWNET) < 0))
		fail("setns " + there);
	fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (net && setns(home, CLONE_NEWNET) < 0)
		fail("setns back");
	for (int f : {home, fd})
		if (f >= 0)
			close(f);
	int one = 1, big = 1 << 20;
	if (fd_ < 0 ||
	    (reuse &&
	        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) <
	            0) ||
	    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big) < 0)
		fail("socket");
	sockaddr_in a = address(addr, port);
	socklen_t len = sizeof a;
	if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
	    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) < 0)
		fail("bind " + std::to_string(port));
	this->port = ntohs(a.sin_port);
}

udp::~udp()
{
	close(fd_);
}

bool udp::recv(std::string &data, sockaddr_in *from, int timeout_ms)
{
	static char b[70000];
	sockaddr_in a{};
	socklen_t len = sizeof a;
	ssize_t n = -1;
	until(
	    timeout_ms,
	    [&] {
		    return (n = recvfrom(fd_, b, sizeof b, MSG_DONTWAIT,
		                reinterpret_cast<sockaddr *>(&a), &len)) >= 0;
	    },
	    fd_);
	if (n < 0)
		return false;
	data.assign(b, static_cast<size_t>(n));
	if (from != nullptr)
		*from = a;
	return true;
}

void udp::send(const std::string &data, int port, const char *addr)
{
	sockaddr_in a = address(addr, port);
	if (sendto(fd_, data.data(), data.size(), 0,
	        reinterpret_cast<sockaddr *>(&a),
	        sizeof a) != static_cast<ssize_t>(data.size()))
		fail("sendto");
}

int freeport()
{
	return udp(0, false, "0.0.0.0").port;
}

} // namespace harness
