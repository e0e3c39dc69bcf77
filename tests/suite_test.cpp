// SPDX-License-Identifier: ISC
// The suite itself: a run killed at any moment, even in the middle of a
// two-host test, leaves nothing behind once the suite runs again. And the
// demo, which runs the host's own build.
#include "harness.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

using namespace harness;

namespace {

// Runs this test program with a filter, the tag in its environment so that
// everything it starts can be told apart; killed after kill_ms, when given.
// Returns its pid.
pid_t self(const std::string &filter, const std::string &tag, int kill_ms = -1)
{
	pid_t parent = getpid();
	pid_t pid = fork();
	if (pid < 0)
		return pid;
	if (pid == 0) {
		die_with(parent);
		setenv("TEST_KILLED_RUN", tag.c_str(), 1);
		std::string f = "--gtest_filter=" + filter;
		execl("/proc/self/exe", "blackbox", f.c_str(),
		    "--gtest_brief=1", static_cast<char *>(nullptr));
		_exit(127);
	}
	if (kill_ms >= 0) {
		usleep(static_cast<useconds_t>(kill_ms) * 1000);
		kill(pid, SIGKILL);
	} else {
		// Bounded: a run that hangs is killed like the others.
		for (int i = 0; i < 3000 && waitpid(pid, nullptr, WNOHANG) == 0;
		     i++)
			usleep(10000);
		kill(pid, SIGKILL);
	}
	waitpid(pid, nullptr, 0);
	return pid;
}

std::vector<std::string> named(const std::string &dir, const std::string &start)
{
	std::vector<std::string> found;
	if (DIR *d = opendir(dir.c_str())) {
		while (dirent *e = readdir(d))
			if (std::string(e->d_name).rfind(start, 0) == 0)
				found.push_back(dir + "/" + e->d_name);
		closedir(d);
	}
	return found;
}

// Processes that carry the tag in their environment.
std::vector<std::string> tagged(const std::string &tag)
{
	std::vector<std::string> found;
	const std::string var = "TEST_KILLED_RUN=" + tag;
	for (const auto &p : named("/proc", "")) {
		std::ifstream f(p + "/environ", std::ios::binary);
		for (std::string v; std::getline(f, v, '\0');)
			if (v == var)
				found.push_back(p);
	}
	return found;
}

TEST(suite, killed_run_leaves_nothing_once_run_again)
{
	hosts probe({""});
	if (!probe.ok())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_NETNS", probe.why());
	for (int ms : {0, 15, 40, 80, 150, 300, 600, 1200}) {
		SCOPED_TRACE("killed after " + std::to_string(ms) + " ms");
		std::string tag =
		    std::to_string(getpid()) + "_" + std::to_string(ms);
		pid_t killed =
		    self("server.two_hosts_line_crosses_the_link", tag, ms);
		ASSERT_GT(killed, 0);
		// The programs it started die with it, a moment later: one
		// busy in the kernel (ip waiting for the routing lock while
		// another test's namespaces go) dies when that call returns.
		std::vector<std::string> left;
		for (int i = 0; i < 2000 && !tagged(tag).empty(); i++)
			usleep(10000);
		for (const auto &p : tagged(tag))
			left.push_back("process " + p);
		// Run again: it clears what the killed run made.
		ASSERT_GT(
		    self("server/usage.*/no_argument", tag + "_again"), 0);
		const std::string made =
		    netns_prefix + std::to_string(killed) + "_";
		for (const auto &[dir, start] : {std::pair{"/run/netns", made},
		         std::pair{"/sys/class/net", "v" + made},
		         std::pair{"/etc/netns", made}})
			for (const auto &p : named(dir, start))
				left.push_back(p);
		EXPECT_TRUE(left.empty()) << "left behind: " << left[0];
	}
}

// The demo picks ports that nothing holds: held ones, the fixed source
// ports it once used among them, do not stop it.
TEST(demo, survives_held_ports)
{
	std::vector<std::unique_ptr<udp>> held;
	for (int p : {40000, 40001, 20001, 20002, 20003, 20005}) {
		try {
			held.push_back(
			    std::make_unique<udp>(p, false, "0.0.0.0"));
		} catch (const std::runtime_error &) {
			// Held by someone else already: just as good.
		}
	}
	programs bin;
	result r =
	    run({"sh", SOURCE_DIR "/tools/demo.sh", bin.dir()}, {}, 20000);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(
	    r.out.find("  | flarn\n  | hello, router\n"), std::string::npos)
	    << r.out;
}

} // namespace
