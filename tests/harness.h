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

std::string env(const char *name, const char *fallback = "");
// The programs under test (TOSSGRAM and SERVER, or TEST_BINDIR's, or the
// ones built here); the server's libc, "musl" or "glibc".
std::string tossgram();
std::string server();
std::string libc();

struct result {
	int status = -1; // exit status, or 128 + signal
	std::string out, err;
};

// Runs wrap + argv to its end (killed after timeout_ms); TEST_PREFIX goes
// before argv where argv starts a program under test.
result run(const args &argv, const args &wrap = {}, int timeout_ms = 5000);

// Names a parameterised test after its case's name.
struct by_name {
	template <class T>
	std::string operator()(const testing::TestParamInfo<T> &i) const
	{
		return i.param.name;
	}
};

// A folder holding tossgram and server as scripts that start the programs
// under test, for commands that name them (the recipes', the demo's).
struct programs {
	const std::string dir;
	programs();
	~programs();
	programs(const programs &) = delete;
};

// A program left running in its own process group, killed at the end:
// wrap + argv, as run starts them; with input, say writes to its stdin.
class proc {
      public:
	explicit proc(const args &argv, const args &wrap = {},
	    output to = output::pipe, const std::string &file = "",
	    bool input = false);
	~proc();
	proc(const proc &) = delete;
	proc &operator=(const proc &) = delete;

	pid_t pid = -1;
	// One line of standard output, without its newline; a failure that
	// tells what the program said on standard error when none came.
	testing::AssertionResult line(std::string &l, int timeout_ms = 5000);
	// Whether it has ended within timeout_ms; status as in result.
	bool ended(int timeout_ms, int *status = nullptr);
	// Standard error so far; all of it once it has ended.
	std::string err();
	void say(const std::string &text);

      private:
	int out_ = -1, err_ = -1, in_ = -1, status_ = -1;
	std::string buf_, errbuf_;
};

// A test host: network, mount and PID namespaces whose first process, the
// holder, dies with the test, and everything in the host with it. It has
// loopback up, and a hosts file and a resolver that cannot answer as bind
// mounts in its mount namespace, private before anything is mounted.
struct host {
	// entered: the one this process enters (here()).
	explicit host(const std::string &hosts = "127.0.0.1 localhost\n",
	    bool entered = false);

	bool ok() const
	{
		return pid > 0 && why.empty();
	}
	args in() const; // wrap running a command in the host, or failing
	bool sh(const std::string &cmd); // false, with why, when it fails
	// A link from here, address mine (with its prefix length), to the
	// host to, address theirs; the name of this end.
	std::string link(
	    host &to, const std::string &mine, const std::string &theirs);

	std::unique_ptr<proc> holder;
	pid_t pid = 0; // the holder's: the host's namespaces are its
	int links = 0;
	std::string why; // why it could not be made, or a command failed
};

// The host every test runs in unless it makes others: the suite enters its
// network and mount namespaces before the first test. Where it cannot be
// made, the suite runs on the machine's own loopback and hosts file.
host &here();

} // namespace harness

// Skips a test that cannot run here, saying why; fails it instead where
// the environment variable var is set, as CI sets TEST_REQUIRE_NETNS and
// TEST_REQUIRE_VM.
#define SKIP_UNLESS_REQUIRED(var, why)                                         \
	do {                                                                   \
		ASSERT_EQ(harness::env(var), "")                               \
		    << (why) << " (" var " is set)";                           \
		GTEST_SKIP() << (why) << " (" var "=1 makes this a failure)";  \
	} while (0)
