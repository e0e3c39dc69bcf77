// SPDX-License-Identifier: ISC
// The suite itself: a run killed at any moment leaves nothing on the
// machine, the receiver's tests need nothing of its hosts file; the demo.
#include "harness.h"

#include <limits.h>
#include <stdlib.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

using namespace harness;

namespace {

// This test program, run again with a filter.
args self(const std::string &filter)
{
	// As it was started: /proc/self/exe may name it by a path outside a
	// chroot.
	char path[PATH_MAX] = {};
	realpath(testing::internal::GetArgvs()[0].c_str(), path);
	return {path, "--gtest_brief=1", "--gtest_filter=" + filter};
}

// What a test could leave on the machine, seen from the process that
// started the suite, which stays in the machine's own namespaces: its
// links and mounts, named network namespaces, and /etc.
std::string machine()
{
	const std::string m = "/proc/" + std::to_string(getppid());
	std::string all = slurp(m + "/mountinfo");
	std::ifstream dev(m + "/net/dev");
	for (std::string l; std::getline(dev, l);)
		all += l.substr(0, l.find(':')) + "\n";
	for (const char *dir : {"/run/netns", "/etc/netns", "/etc"})
		for (const auto &e : entries(m + "/root" + dir))
			all += std::string(dir) + "/" + e + "\n";
	for (const char *f : {"hosts", "resolv.conf", "nsswitch.conf"})
		all += slurp(m + "/root/etc/" + f);
	return all;
}

// The processes that carry the tag in their environment.
size_t tagged(const std::string &tag)
{
	size_t found = 0;
	const std::string var = "TEST_KILLED_RUN=" + tag;
	for (const auto &p : entries("/proc"))
		found += ('\0' + slurp("/proc/" + p + "/environ"))
		             .find('\0' + var + '\0') != std::string::npos;
	return found;
}

// Killed with SIGKILL, the suite cleans up nothing: what it made dies with
// its holders. No process of the killed run is left, and so none of its
// namespaces, and the machine is the same before and after.
TEST(suite, killed_run_leaves_nothing)
{
	if (!here().ok())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_NETNS", here().why);
	const std::string before = machine();
	for (int ms : {0, 40, 150, 300, 600, 1200}) {
		SCOPED_TRACE("killed after " + std::to_string(ms) + " ms");
		const std::string tag =
		    std::to_string(getpid()) + "_" + std::to_string(ms);
		{
			proc run(self("server/two_hosts.*/named"),
			    {"env", "TEST_KILLED_RUN=" + tag});
			until(ms, [] { return false; });
			kill(run.pid, SIGKILL);
			ASSERT_TRUE(run.ended(5000));
		}
		EXPECT_TRUE(until(20000, [&] { return tagged(tag) == 0; }))
		    << "processes of the killed run are left";
	}
	EXPECT_EQ(machine(), before);
}

// The receiver's tests, run inside a host whose hosts file names nothing,
// not even 127.0.0.1: they bring a hosts file of their own, and pass.
TEST(suite, bare_hosts_file)
{
	host bare("");
	if (!bare.ok())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_NETNS", bare.why);
	result r = run(self("server*:-*two_hosts*:*random*"), bare.in(), 50000);
	EXPECT_EQ(r.status, 0) << r.out << r.err;
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
	result r = run({"sh", SOURCE_DIR "/tools/demo.sh", bin.dir}, {}, 20000);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(
	    r.out.find("  | flarn\n  | hello, router\n"), std::string::npos)
	    << r.out;
}

} // namespace
