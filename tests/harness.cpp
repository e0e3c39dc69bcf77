// SPDX-License-Identifier: ISC
#include "harness.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace harness {

namespace {

void nap()
{
	usleep(5000);
}

// wrap, then the prefix where argv starts a program under test, then argv:
// the prefix starts the programs under test, and nothing else.
args command(const args &argv, const args &wrap)
{
	args full = wrap;
	if (!argv.empty() && (argv[0] == tossgram() || argv[0] == server()))
		for (const auto &p : prefix())
			full.push_back(p);
	full.insert(full.end(), argv.begin(), argv.end());
	return full;
}

// A sanitizer build reports on standard error; any report fails the test
// that started the program, whatever else the test checks.
void fail_on_sanitizer_report(const std::string &err)
{
	for (const char *mark : {"runtime error:", "Sanitizer", "==ERROR"})
		if (err.find(mark) != std::string::npos)
			ADD_FAILURE() << "sanitizer report:\n" << err;
}

// Runs the simple command cmd with sh; like system, but the command dies
// with the test process: sh execs it rather than forking it, which would
// leave it without its parent's death signal.
bool sh(const std::string &cmd, std::string *why)
{
	pid_t parent = getpid();
	pid_t pid = fork();
	if (pid == 0) {
		die_with(parent);
		execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(),
		    static_cast<char *>(nullptr));
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
	write_file(dir + "/resolv.conf",
	    "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
	write_file(dir + "/nsswitch.conf", "hosts: files dns\n");
	return true;
}

std::string loopback_ns()
{
	return netns_prefix + std::to_string(getpid()) + "_lo";
}

} // namespace

args loopback()
{
	static const args wrap = [] {
		std::string why;
		if (!sh("unshare -m true 2>/dev/null", &why) ||
		    !etc(loopback_ns(), "127.0.0.1 localhost\n", &why)) {
			if (!env("TEST_REQUIRE_NETNS").empty())
				ADD_FAILURE()
				    << "no hosts file of the suite's own: "
				    << why;
			return args{};
		}
		// In a mount namespace of its own, so that nothing else sees
		// it.
		return args{"unshare", "-m", "sh", "-c",
		    "for f in hosts resolv.conf nsswitch.conf; do"
		    " [ ! -e /etc/$f ] || mount --bind \"$0/$f\" /etc/$f || "
		    "exit 127; done;"
		    " exec \"$@\"",
		    "/etc/netns/" + loopback_ns()};
	}();
	return wrap;
}

std::string env(const char *name, const char *fallback)
{
	const char *v = getenv(name);
	return v != nullptr ? v : fallback;
}

std::string tossgram()
{
	return env("TOSSGRAM", TOSSGRAM_BIN);
}
std::string server()
{
	return env("SERVER", SERVER_BIN);
}

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
	pid_t pid = start(command(argv, wrap), output::pipe, "", &out, &err);
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
	fail_on_sanitizer_report(r.err);
	close(out);
	close(err);
	return r;
}

programs::programs()
{
	char tmpl[] = "/tmp/tossgram-programs-XXXXXX";
	if (mkdtemp(tmpl) == nullptr)
		throw std::runtime_error("mkdtemp");
	dir_ = tmpl;
	for (const auto &[name, path] : {std::pair{"tossgram", tossgram()},
	         std::pair{"server", server()}}) {
		std::string script = dir_ + "/" + name, run;
		for (const auto &w : command({path}, {}))
			run += w + " ";
		std::ofstream(script)
		    << "#!/bin/sh\nexec " << run << "\"$@\"\n";
		chmod(script.c_str(), 0755);
	}
}

programs::~programs()
{
	sh("rm -rf " + dir_, nullptr);
}

proc::proc(
    const args &argv, const args &wrap, output to, const std::string &file)
{
	pid_ = start(command(argv, wrap), to, file, &out_, &err_);
}

proc::~proc()
{
	if (!reaped_) {
		kill(-pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
		reaped_ = true;
	}
	fail_on_sanitizer_report(err());
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
			return testing::AssertionSuccess()
			    << "a line: \"" << l << "\"";
		}
		long long left = deadline - now_ms();
		pollfd p = {out_, POLLIN, 0};
		if (left <= 0 || out_ < 0 ||
		    (poll(&p, 1, static_cast<int>(left)) > 0 &&
		        !drain(out_, buf_)))
			return testing::AssertionFailure()
			    << "no line"
			    << (buf_.empty() ? "" : ", only \"" + buf_ + "\"")
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

void proc::signal(int sig)
{
	kill(pid_, sig);
}

int proc::bound(int port, int timeout_ms)
{
	return harness::bound(pid_, port, timeout_ms);
}

std::vector<int> proc::sockets() const
{
	return socket_fds(pid_);
}

hosts::hosts(const std::vector<std::string> &files)
{
	static int made = 0;
	std::string id = netns_prefix + std::to_string(getpid()) + "_" +
	    std::to_string(made++);
	for (size_t i = 0; i < files.size(); i++)
		ns_.push_back(id + static_cast<char>('a' + i));
	for (const auto &ns : ns_)
		if (!harness::sh("ip netns add " + ns, &why_)) {
			why_ = "cannot make network namespaces here (" + why_ +
			    ")";
			return;
		}
	ok_ = true;
	for (size_t i = 0; i < files.size(); i++)
		ok_ = ok_ && sh(i, "ip link set lo up") &&
		    harness::etc(ns_[i], files[i], &why_);
}

std::string hosts::link(
    size_t i, const std::string &addr_i, size_t j, const std::string &addr_j)
{
	// The ends are named after the host they are in and the host they
	// lead to, "v" in front: within the 15 characters of a link name.
	const std::string vi = "v" + ns_[i] + ns_[j].back(),
	                  vj = "v" + ns_[j] + ns_[i].back();
	links_.push_back(vi);
	links_.push_back(vj);
	ok_ = ok_ &&
	    harness::sh(
	        "ip link add " + vi + " type veth peer name " + vj, &why_) &&
	    harness::sh("ip link set " + vi + " netns " + ns_[i], &why_) &&
	    harness::sh("ip link set " + vj + " netns " + ns_[j], &why_) &&
	    sh(i, "ip addr add " + addr_i + " dev " + vi) &&
	    sh(j, "ip addr add " + addr_j + " dev " + vj) &&
	    sh(i, "ip link set " + vi + " up") &&
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
	static const std::regex name(
	    std::string("v?") + netns_prefix + "([0-9]+)_[0-9a-z]+");
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
	void SetUp() override
	{
		sweep();
	}
	void TearDown() override
	{
		sh("rm -rf /etc/netns/" + loopback_ns(), nullptr);
	}
};

const testing::Environment *const swept =
    testing::AddGlobalTestEnvironment(new sweeper);

} // namespace

void sweep()
{
	for (const auto &ns : stale("/run/netns"))
		sh("ip netns del " + ns + " >/dev/null 2>&1", nullptr);
	for (const auto &link : stale("/sys/class/net"))
		sh("ip link del " + link + " >/dev/null 2>&1", nullptr);
	for (const auto &dir : stale("/etc/netns"))
		sh("rm -rf /etc/netns/" + dir, nullptr);
}

} // namespace harness
