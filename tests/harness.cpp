// SPDX-License-Identifier: ISC
#include "harness.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace harness {

namespace {

// wrap, then TEST_PREFIX where argv starts a program under test, then argv.
args command(const args &argv, const args &wrap)
{
	args full = wrap;
	std::istringstream prefix(env("TEST_PREFIX"));
	if (!argv.empty() && (argv[0] == tossgram() || argv[0] == server()))
		for (std::string w; prefix >> w;)
			full.push_back(w);
	full.insert(full.end(), argv.begin(), argv.end());
	return full;
}

std::string temp_dir(const char *name)
{
	std::string tmpl = "/tmp/tossgram-" + std::string(name) + "-XXXXXX";
	if (mkdtemp(&tmpl[0]) == nullptr)
		throw std::runtime_error("mkdtemp");
	return tmpl;
}

// Reads what fd (which does not block) holds now onto the end of s; false
// once it is at its end.
bool drain(int fd, std::string &s)
{
	char b[65536];
	ssize_t n;
	while ((n = read(fd, b, sizeof b)) > 0)
		s.append(b, static_cast<size_t>(n));
	return n < 0 && (errno == EAGAIN || errno == EINTR);
}

} // namespace

std::string env(const char *name, const char *fallback)
{
	const char *v = getenv(name);
	return v != nullptr ? v : fallback;
}

std::string tossgram()
{
	return env(
	    "TOSSGRAM", (env("TEST_BINDIR", BIN_DIR) + "/tossgram").c_str());
}

std::string server()
{
	return env("SERVER", (env("TEST_BINDIR", BIN_DIR) + "/server").c_str());
}

std::string libc()
{
	return env("TEST_LIBC",
	    slurp(server()).find("ld-musl-") != std::string::npos ? "musl"
	                                                          : "glibc");
}

result run(const args &argv, const args &wrap, int timeout_ms)
{
	result r;
	proc p(argv, wrap);
	const long long end = now_ms() + timeout_ms;
	std::string l;
	while (p.line(l, static_cast<int>(end - now_ms())))
		r.out += l + "\n";
	r.out += l;
	if (!p.ended(static_cast<int>(end - now_ms()), &r.status)) {
		kill(-p.pid, SIGKILL);
		p.ended(5000, &r.status);
	}
	r.err = p.err();
	return r;
}

programs::programs() : dir(temp_dir("programs"))
{
	for (const auto &[name, path] : {std::pair{"/tossgram", tossgram()},
	         std::pair{"/server", server()}}) {
		std::string script = dir + name, run;
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
		unlink((dir + name).c_str());
	rmdir(dir.c_str());
}

proc::proc(const args &argv, const args &wrap, output to,
    const std::string &file, bool input)
{
	pid = start(command(argv, wrap), to, file, &out_, &err_, "",
	    input ? &in_ : nullptr);
}

proc::~proc()
{
	if (status_ < 0) {
		kill(-pid, SIGKILL);
		reap(pid, 5000);
	}
	// A sanitizer's report fails the test that started the program.
	const std::string e = err();
	for (const char *mark : {"runtime error:", "Sanitizer", "==ERROR"})
		if (e.find(mark) != std::string::npos)
			ADD_FAILURE() << "sanitizer report:\n" << e;
	for (int fd : {out_, err_, in_})
		if (fd >= 0)
			close(fd);
}

testing::AssertionResult proc::line(std::string &l, int timeout_ms)
{
	bool open = out_ >= 0;
	until(
	    timeout_ms,
	    [&] {
		    open = open && drain(out_, buf_);
		    return !open || buf_.find('\n') != std::string::npos;
	    },
	    out_);
	const size_t nl = buf_.find('\n');
	if (nl == std::string::npos) {
		l = buf_; // what came without its newline
		return testing::AssertionFailure()
		    << "no line"
		    << (buf_.empty() ? "" : ", only \"" + buf_ + "\"")
		    << "; standard error: \"" << err() << "\"";
	}
	l = buf_.substr(0, nl);
	buf_.erase(0, nl + 1);
	return testing::AssertionSuccess() << "a line: \"" << l << "\"";
}

bool proc::ended(int timeout_ms, int *status)
{
	if (status_ < 0)
		status_ = reap(pid, timeout_ms);
	if (status_ >= 0 && status != nullptr)
		*status = status_;
	return status_ >= 0;
}

std::string proc::err()
{
	// Up to its end once the process has ended: a program under an
	// emulator may close it a moment later.
	until(
	    ended(0) ? 2000 : 50, [&] { return !drain(err_, errbuf_); }, err_);
	return errbuf_;
}

void proc::say(const std::string &text)
{
	if (write(in_, text.data(), text.size()) !=
	    static_cast<ssize_t>(text.size()))
		ADD_FAILURE() << "cannot write to the program";
}

host::host(const std::string &hosts, bool entered)
{
	// The files live on the host's own tmpfs, over a folder removed once
	// the host stands; nstat's history on another, over /dev/shm, since
	// nstat keeps one a user, not one a network namespace. unshare makes
	// the mount namespace private first.
	// The host this process enters keeps the machine's /proc, as this
	// process stays in the machine's PID namespace.
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
	        "attempts:1\\n' >resolv.conf || exit 1;"
	        " for f in hosts resolv.conf nsswitch.conf; do"
	        " [ ! -e /etc/$f ] || mount --bind $f /etc/$f || exit 1;"
	        " done; mount -t tmpfs tmpfs /dev/shm &&"
	        " cd / && ip link set lo up && echo ready || exit 1;"
	        " exec sleep infinity",
	        dir, hosts});
	holder = std::make_unique<proc>(a);
	std::string l;
	std::vector<pid_t> made;
	if (holder->line(l, 10000) && (made = family(holder->pid)).size() > 1)
		pid = made[1];
	else
		why = "cannot make a test host here: " +
		    holder->err().substr(0, holder->err().find('\n'));
	rmdir(dir.c_str());
}

args host::in() const
{
	// The program is nsenter's child, in the host's PID namespace; -r and
	// -w: the holder's root and folder, the suite's own even in a chroot.
	if (pid <= 0)
		return {"false"}; // never on the machine itself
	return {"nsenter", "-t", std::to_string(pid), "-n", "-m", "-p", "-r",
	    "-w", "env", "NSTAT_HISTORY=/dev/shm/nstat"};
}

bool host::sh(const std::string &cmd)
{
	result r = run({"sh", "-c", cmd}, in(), 30000);
	if (r.status != 0 && why.empty())
		why = cmd + ": " + r.err;
	return r.status == 0;
}

std::string host::link(
    host &to, const std::string &mine, const std::string &theirs)
{
	// Its other end moved straight into the other host: the link never
	// exists on the machine that runs the test.
	const std::string a = "eth" + std::to_string(links++),
	                  b = "eth" + std::to_string(to.links++);
	// In this host's network namespace, where the other's holder is seen
	// by the pid this process knows it by.
	result r;
	if (ok() && to.ok() &&
	    (r = run({"nsenter", "-t", std::to_string(pid), "-n", "ip", "link",
	         "add", a, "type", "veth", "peer", "name", b, "netns",
	         std::to_string(to.pid)}))
	            .status != 0)
		why = "ip link add: " + r.err;
	if (!(r.status == 0 && sh("ip addr add " + mine + " dev " + a) &&
	        sh("ip link set " + a + " up") &&
	        to.sh("ip addr add " + theirs + " dev " + b) &&
	        to.sh("ip link set " + b + " up")))
		why = why.empty() ? to.why : why;
	return a;
}

namespace {

// Moves this process into the network and mount namespaces of the host
// held by pid, keeping its root and folder, which setns would change.
void enter(pid_t pid)
{
	const std::string d = "/proc/" + std::to_string(pid);
	int root = open((d + "/root").c_str(), O_RDONLY | O_CLOEXEC),
	    cwd = open(".", O_RDONLY | O_CLOEXEC);
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
		if (here().ok())
			enter(here().pid);
		else if (!env("TEST_REQUIRE_NETNS").empty())
			ADD_FAILURE()
			    << here().why << " (TEST_REQUIRE_NETNS is set)";
		else
			fprintf(stderr, "%s: on this machine's own loopback\n",
			    here().why.c_str());
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
