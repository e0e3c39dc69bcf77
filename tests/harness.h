// SPDX-License-Identifier: ISC
// Black-box harness: starts the real programs (through TEST_PREFIX, for
// instance "qemu-mips -cpu 24Kc -L SYSROOT") and talks to them over real
// sockets, inside test hosts of its own.
#pragma once

#include "proc.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace harness {

// The environment variable name, or fallback where it is not set.
std::string env(const char *name, const char *fallback = "");
// Paths of the programs under test (TOSSGRAM and SERVER, or TEST_BINDIR's,
// or the ones built here) and the prefix that starts them.
std::string tossgram();
std::string server();
args prefix();
// "musl" or "glibc": the libc the server under test was built against.
std::string libc();

struct result {
	int status = -1; // exit status, or 128 + signal
	std::string out, err;
};

// Runs wrap + prefix + argv to completion (killed after timeout_ms); the
// prefix only where argv starts a program under test.
result run(const args &argv, const args &wrap = {}, int timeout_ms = 5000);

// Names a parameterised test after its case's name field, or after the
// case itself where that is a name.
struct by_name {
	template <class T>
	std::string operator()(const testing::TestParamInfo<T> &i) const
	{
		return i.param.name;
	}
	std::string operator()(
	    const testing::TestParamInfo<const char *> &i) const
	{
		return i.param;
	}
};

// A folder holding tossgram and server as scripts that start the programs
// under test through the prefix, for commands that name them (the README's,
// the demo's); removed on destruction.
class programs {
      public:
	programs();
	~programs();
	programs(const programs &) = delete;
	programs &operator=(const programs &) = delete;

	const std::string &dir() const
	{
		return dir_;
	}

      private:
	std::string dir_;
};

// A program left running in its own process group, killed on destruction.
class proc {
      public:
	// wrap + prefix + argv, as run does; standard output as to says, or
	// into file when one is named; standard input from a pipe that say
	// writes to, where input is asked for.
	explicit proc(const args &argv, const args &wrap = {},
	    output to = output::pipe, const std::string &file = "",
	    bool input = false);
	~proc();
	proc(const proc &) = delete;
	proc &operator=(const proc &) = delete;

	pid_t pid() const
	{
		return pid_;
	}
	// One line of standard output without its newline; a failure, naming
	// what the program said on standard error, when none came in time.
	testing::AssertionResult line(std::string &l, int timeout_ms = 5000);
	// True once the process has ended; status as in result.
	bool ended(int timeout_ms, int *status = nullptr);
	// Standard error: all of it once the process has ended, what it has
	// written so far while it runs.
	std::string err();
	void signal(int sig);
	// Writes text to the program's standard input.
	void say(const std::string &text);
	// Waits until the process holds a UDP socket on port, or on any port
	// when port is 0; the port, or 0 on timeout.
	int bound(int port = 0, int timeout_ms = 10000);

      private:
	pid_t pid_ = -1;
	int out_ = -1, err_ = -1, in_ = -1;
	int status_ = -1;
	bool reaped_ = false;
	std::string buf_, errbuf_;
};

// A test host: a network, mount and PID namespace whose first process, its
// holder, dies with the test, and with it everything started in the host.
// It has loopback up, the given hosts file, and a resolver that cannot
// answer, so that no lookup ever leaves it; they are bind mounts in its own
// mount namespace, which is private before anything is mounted. Nothing of
// it is ever seen on the machine that runs the test.
class host {
      public:
	// entered: the host that this process enters (here()).
	explicit host(const std::string &hosts = "127.0.0.1 localhost\n",
	    bool entered = false);

	bool ok() const
	{
		return pid_ > 0 && why_.empty();
	}
	// Why the host could not be made, or a command in it failed.
	const std::string &why() const
	{
		return why_;
	}
	// The holder's pid: the host's namespaces are its.
	pid_t pid() const
	{
		return pid_;
	}
	// What runs a command in the host: wrap for run and proc. Where the
	// host could not be made, what it wraps fails without running.
	args in() const;
	// Runs the shell command cmd in the host; false, with why(), when it
	// fails.
	bool sh(const std::string &cmd);
	// A link from here, address mine (with its prefix length), to the
	// host to, address theirs; the name of this end.
	std::string link(
	    host &to, const std::string &mine, const std::string &theirs);

      private:
	std::unique_ptr<proc> holder_;
	pid_t pid_ = 0;
	int links_ = 0;
	std::string why_;
};

// The host every test runs in unless it makes others: the suite enters its
// network and mount namespaces before the first test, so that the test's
// programs and sockets live in it; they die with the test by their parent's
// death. Not ok where namespaces cannot be made; the suite then runs on the
// machine's own loopback, with its hosts file.
host &here();

} // namespace harness

// Skips a test that cannot run here, saying why; fails it instead where
// the environment variable var is set, as CI sets TEST_REQUIRE_NETNS and
// TEST_REQUIRE_VM.
#define SKIP_UNLESS_REQUIRED(var, why)                                         \
	do {                                                                   \
		const std::string why_ = (why);                                \
		ASSERT_EQ(harness::env(var), "")                               \
		    << why_ << " (" var " is set)";                            \
		GTEST_SKIP() << why_ << " (" var "=1 makes this a failure)";   \
	} while (0)
