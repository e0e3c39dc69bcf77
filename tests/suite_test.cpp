// SPDX-License-Identifier: ISC
// The suite itself: a run killed at any moment, even in the middle of a
// two-host test, leaves nothing on the machine; the receiver's tests pass
// on a machine whose hosts file names nothing; and the demo, which runs
// the host's own build.
#include "harness.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>

#include <gtest/gtest.h>

using namespace harness;

namespace {

// This test program, run again in a PID namespace of its own with its own
// /proc, so that the pids it sees are those /proc shows; in the network
// and mount namespaces of the host in, where one is given.
args self(const std::string &filter, const host *in = nullptr)
{
	char path[4096] = {};
	readlink("/proc/self/exe", path, sizeof path - 1);
	args a = {"unshare", "-p", "--fork", "--mount-proc", "--kill-child",
	    path, "--gtest_brief=1", "--gtest_filter=" + filter};
	if (in != nullptr)
		a.insert(a.begin(),
		    {"nsenter", "-t", std::to_string(in->pid()), "-n", "-m",
		        "-r"});
	return a;
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

std::string slurp(const std::string &path)
{
	std::ifstream f(path);
	return {std::istreambuf_iterator<char>(f), {}};
}

std::string link_of(const std::string &path)
{
	char l[256] = {};
	return readlink(path.c_str(), l, sizeof l - 1) > 0 ? l : "";
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
		for (const auto &e : entries(m + "/root" + dir)) {
			struct stat st {};
			lstat((m + "/root" + dir + "/" + e).c_str(), &st);
			all += std::string(dir) + "/" + e + " " +
			    std::to_string(st.st_mtime) + "\n";
		}
	return all;
}

// The processes that carry the tag in their environment, and the network
// namespaces they are in.
std::set<std::string> tagged(const std::string &tag, bool namespaces)
{
	std::set<std::string> found;
	const std::string var = "TEST_KILLED_RUN=" + tag;
	for (const auto &p : entries("/proc")) {
		std::ifstream f("/proc/" + p + "/environ", std::ios::binary);
		for (std::string v; std::getline(f, v, '\0');)
			if (v == var)
				found.insert(namespaces
				        ? link_of("/proc/" + p + "/ns/net")
				        : p);
	}
	return found;
}

std::set<std::string> all_namespaces()
{
	std::set<std::string> found;
	for (const auto &p : entries("/proc"))
		found.insert(link_of("/proc/" + p + "/ns/net"));
	return found;
}

// Killed with SIGKILL, the suite cleans up nothing: what it made dies with
// its holders. The machine is the same before and after, and none of the
// network namespaces the killed run was using is left.
TEST(suite, killed_run_leaves_nothing)
{
	if (!here().ok())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_NETNS", here().why());
	const std::string before = machine();
	for (int ms : {0, 40, 150, 300, 600, 1200}) {
		SCOPED_TRACE("killed after " + std::to_string(ms) + " ms");
		const std::string tag =
		    std::to_string(getpid()) + "_" + std::to_string(ms);
		std::set<std::string> used;
		{
			proc run(self("server.two_hosts_line_crosses_the_link"),
			    {"env", "TEST_KILLED_RUN=" + tag});
			until(ms, [&] {
				for (const auto &ns : tagged(tag, true))
					used.insert(ns);
				return false;
			});
			run.signal(SIGKILL);
			ASSERT_TRUE(run.ended(5000));
		}
		EXPECT_TRUE(until(20000, [&] {
			return tagged(tag, false).empty();
		})) << "processes of the killed run are left";
		std::set<std::string> now = all_namespaces();
		used.erase(link_of("/proc/self/ns/net"));
		used.erase("");
		for (const auto &ns : used)
			EXPECT_EQ(now.count(ns), 0u) << ns << " is left";
	}
	EXPECT_EQ(machine(), before);
}

// The receiver's tests, run inside a host whose hosts file names nothing,
// not even 127.0.0.1: they bring a hosts file of their own, and pass.
TEST(suite, bare_hosts_file)
{
	host bare("");
	if (!bare.ok())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_NETNS", bare.why());
	result r = run(self("server*:-*two_hosts*:*random*", &bare), {}, 50000);
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
	result r =
	    run({"sh", SOURCE_DIR "/tools/demo.sh", bin.dir()}, {}, 20000);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(
	    r.out.find("  | flarn\n  | hello, router\n"), std::string::npos)
	    << r.out;
}

} // namespace
