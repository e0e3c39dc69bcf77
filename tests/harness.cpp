// SPDX-License-Identifier: ISC
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace harness {

namespace {

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

std::string temp_dir(const char *name)
{
	std::string tmpl = "/tmp/tossgram-" + std::string(name) + "-XXXXXX";
	if (mkdtemp(&tmpl[0]) == nullptr)
		throw std::runtime_error("mkdtemp");
	return tmpl;
}

} // namespace

std::string env(const char *name, const char *fallback)
{
	const char *v = getenv(name);
	return v != nullptr ? v : fallback;
}

std::string tossgram()
{
	const std::string dir = env("TEST_BINDIR");
	return env("TOSSGRAM",
	    dir.empty() ? TOSSGRAM_BIN : (dir + "/tossgram").c_str());
}

std::string server()
{
	const std::string dir = env("TEST_BINDIR");
	return env(
	    "SERVER", dir.empty() ? SERVER_BIN : (dir + "/server").c_str());
}

args prefix()
{
	args p;
	std::istringstream f(env("TEST_PREFIX"));
	for (std::string w; f >> w;)
		p.push_back(w);
	return p;
}

std::string libc()
{
	std::string forced = env("TEST_LIBC");
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
	proc p(argv, wrap);
	const long long deadline = now_ms() + timeout_ms;
	std::string l;
	while (p.line(l, static_cast<int>(deadline - now_ms())))
		r.out += l + "\n";
	r.out += l;
	if (!p.ended(static_cast<int>(deadline - now_ms()), &r.status)) {
		kill(-p.pid(), SIGKILL);
		p.ended(5000, &r.status);
	}
	r.err = p.err();
	return r;
}

programs::programs() : dir_(temp_dir("programs"))
{
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
	for (const char *name : {"/tossgram", "/server"})
		unlink((dir_ + name).c_str());
	rmdir(dir_.c_str());
}

proc::proc(const args &argv, const args &wrap, output to,
    const std::string &file, bool input)
{
	pid_ = start(command(argv, wrap), to, file, &out_, &err_, "",
	    input ? &in_ : nullptr);
}

proc::~proc()
{
	if (!reaped_) {
		kill(-pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
		reaped_ = true;
	}
	fail_on_sanitizer_report(err());
	for (int fd : {out_, err_, in_})
		if (fd >= 0)
			close(fd);
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
		        !drain(out_, buf_))) {
			// What came without its newline, for a caller that
			// wants it.
			l = buf_;
			return testing::AssertionFailure()
			    << "no line"
			    << (buf_.empty() ? "" : ", only \"" + buf_ + "\"")
			    << "; standard error: \"" << err() << "\"";
		}
	}
}

bool proc::ended(int timeout_ms, int *status)
{
	if (!reaped_) {
		status_ = reap(pid_, timeout_ms);
		reaped_ = status_ >= 0;
	}
	if (reaped_ && status != nullptr)
		*status = status_;
	return reaped_;
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

void proc::say(const std::string &text)
{
	if (write(in_, text.data(), text.size()) !=
	    static_cast<ssize_t>(text.size()))
		ADD_FAILURE() << "cannot write to the program";
}

int proc::bound(int port, int timeout_ms)
{
	return harness::bound(pid_, port, timeout_ms);
}

host::host(const std::string &hosts, bool entered)
{
	// The files live on a tmpfs of the host's own, over a folder that
	// is gone again once the host stands: nothing stays on the machine.
	// unshare makes the mount namespace private before anything else;
	// its child is the host's first process, and dies with it. The host
	// has a /proc of its own PID namespace, so that a program in it
	// finds itself there, but for the one this process enters: this
	// process stays in the machine's PID namespace, and its /proc with it.
	const std::string dir = temp_dir("host");
	args a = {"unshare", "-n", "-m", "-p", "--fork", "--kill-child"};
	if (!entered)
		a.push_back("--mount-proc");
	a.insert(a.end(),
	    {"sh", "-c",
	        "mount -t tmpfs tmpfs \"$0\" && cd \"$0\" &&"
	        " printf %s \"$1\" >hosts &&"
	        " echo 'hosts: files dns' >nsswitch.conf &&"
	        " printf 'nameserver 127.0.0.1\\noptions timeout:1 "
	        "attempts:1\\n'"
	        " >resolv.conf || exit 1;"
	        " for f in hosts resolv.conf nsswitch.conf; do"
	        " [ ! -e /etc/$f ] || mount --bind $f /etc/$f || exit 1;"
	        " done; cd / && ip link set lo up && echo ready || exit 1;"
	        " exec sleep infinity",
	        dir, hosts});
	holder_ = std::make_unique<proc>(a);
	// The first process is unshare's child, once it says it is ready.
	std::string l;
	std::vector<pid_t> made;
	if (holder_->line(l, 10000) &&
	    (made = family(holder_->pid())).size() > 1)
		pid_ = made[1];
	else
		why_ = "cannot make a test host here: " +
		    holder_->err().substr(0, holder_->err().find('\n'));
	rmdir(dir.c_str());
}

args host::in() const
{
	// The program is nsenter's child, in the host's PID namespace. -r and
	// -w: the root and folder of the holder; the root is the suite's own
	// even in a chroot, and this process's folder may not be reachable
	// from it.
	// Without a host, nothing runs: never on the machine itself.
	if (pid_ <= 0)
		return {"false"};
	return {"nsenter", "-t", std::to_string(pid_), "-n", "-m", "-p", "-r",
	    "-w"};
}

bool host::sh(const std::string &cmd)
{
	result r = run({"sh", "-c", cmd}, in(), 30000);
	if (r.status != 0 && why_.empty())
		why_ = cmd + ": " + r.err;
	return r.status == 0;
}

std::string host::link(
    host &to, const std::string &mine, const std::string &theirs)
{
	// Made here, its other end moved straight into the other host: the
	// link never exists on the machine that runs the test.
	const std::string a = "eth" + std::to_string(links_++),
	                  b = "eth" + std::to_string(to.links_++);
	if (!ok() || !to.ok()) {
		why_ = why_.empty() ? to.why() : why_;
		return a;
	}
	// In this host's network namespace alone, where the other's holder
	// is seen by the pid this process knows it by.
	result r = run({"nsenter", "-t", std::to_string(pid_), "-n", "ip",
	    "link", "add", a, "type", "veth", "peer", "name", b, "netns",
	    std::to_string(to.pid_)});
	if (r.status != 0)
		why_ = "ip link add: " + r.err;
	if (!(r.status == 0 && sh("ip addr add " + mine + " dev " + a) &&
	        sh("ip link set " + a + " up") &&
	        to.sh("ip addr add " + theirs + " dev " + b) &&
	        to.sh("ip link set " + b + " up")))
		why_ = why_.empty() ? to.why() : why_;
	return a;
}

namespace {

// Moves this process into the network and mount namespaces of the host
// held by pid, its root and working folder kept: a mount namespace entered
// brings its own root otherwise.
void enter(pid_t pid)
{
	const std::string d = "/proc/" + std::to_string(pid);
	int root = open((d + "/root").c_str(), O_RDONLY | O_CLOEXEC);
	int cwd = open(".", O_RDONLY | O_CLOEXEC);
	for (const char *ns : {"net", "mnt"}) {
		int fd = open((d + "/ns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
		if (fd < 0 || setns(fd, 0) < 0)
			throw std::runtime_error("cannot enter the test host");
		close(fd);
	}
	if (root < 0 || cwd < 0 || fchdir(root) < 0 || chroot(".") < 0 ||
	    fchdir(cwd) < 0)
		throw std::runtime_error("cannot keep the root and folder");
	close(root);
	close(cwd);
}

struct entered : testing::Environment {
	void SetUp() override
	{
		if (here().ok()) {
			enter(here().pid());
			return;
		}
		if (!env("TEST_REQUIRE_NETNS").empty())
			ADD_FAILURE()
			    << here().why() << " (TEST_REQUIRE_NETNS is set)";
		else
			fprintf(stderr,
			    "%s: running on this machine's own "
			    "loopback\n",
			    here().why().c_str());
	}
};

const testing::Environment *const in_host =
    testing::AddGlobalTestEnvironment(new entered);

} // namespace

host &here()
{
	static host h("127.0.0.1 localhost\n", true);
	return h;
}

} // namespace harness
