// SPDX-License-Identifier: ISC
// Black-box harness: starts the real programs (through TEST_PREFIX, for
// instance "qemu-mips -L SYSROOT") and talks to them over real sockets.
#pragma once

#include "proc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace harness {

// Paths of the programs under test and the prefix that starts them.
std::string tossgram();
std::string server();
args prefix();
// The environment variable name, or fallback where it is not set.
std::string env(const char *name, const char *fallback = "");
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

// What makes the receiver on loopback answer its lookups from a hosts file
// of the suite's own, whatever the build host's says: wrap for proc.
args loopback();

// A program left running in its own process group, killed on destruction.
class proc {
      public:
	// wrap + prefix + argv, as run does; standard output as to says, or
	// into file when one is named.
	explicit proc(const args &argv, const args &wrap = {},
	    output to = output::pipe, const std::string &file = "");
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
	// Waits until the process holds a UDP socket on port, or on any port
	// when port is 0; the port, or 0 on timeout.
	int bound(int port = 0, int timeout_ms = 10000);
	// The descriptors of the process that are sockets.
	std::vector<int> sockets() const;

      private:
	pid_t pid_ = -1;
	int out_ = -1, err_ = -1;
	int status_ = -1;
	bool reaped_ = false;
	std::string buf_, errbuf_;
};

// Names of the network namespaces, links and /etc/netns folders that the
// suite makes begin with this, followed by the making process's pid and "_".
constexpr const char *netns_prefix = "tg";
// Removes what a run whose process no longer exists left behind (a run
// killed before its cleanup could run); done once when the suite starts.
void sweep();

// Hosts in network namespaces of the test's own, joined by veth links.
// Each has its own hosts file (given here) and a resolver that cannot
// answer, so that no lookup ever leaves the namespace. Everything is
// removed on destruction.
class hosts {
      public:
	// One host for each hosts file, on no link yet.
	explicit hosts(const std::vector<std::string> &files);
	~hosts();
	hosts(const hosts &) = delete;
	hosts &operator=(const hosts &) = delete;

	// A link from host i, address addr_i (with its prefix length), to
	// host j, address addr_j; returns the name of i's end of it.
	std::string link(size_t i, const std::string &addr_i, size_t j,
	    const std::string &addr_j);
	// Runs the shell command cmd in host i.
	bool sh(size_t i, const std::string &cmd);

	bool ok() const
	{
		return ok_;
	}
	const std::string &why() const
	{
		return why_;
	}
	args in(size_t i) const
	{
		return {"ip", "netns", "exec", ns_[i]};
	}

      private:
	std::vector<std::string> ns_, links_;
	std::string why_;
	bool ok_ = false;
};

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
