// SPDX-License-Identifier: ISC
// Measures tossgram and server side by side with OpenBSD nc and socat on
// loopback: a tossgram run's cost, how fast server prints, its system calls
// per datagram, whether a second sender is heard. Driven by bench/run.sh;
// writes OUTDIR/loss.dat for its plot.
//   bench TOSSGRAM SERVER OUTDIR quick|full [MUSL-LIBC MUSL-SERVER]
#include "proc.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

using namespace harness;

namespace {

std::string out, trace; // the receivers' output, strace's count
bool quick = false;

double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A command; "{}" in it stands for the port.
struct tool {
	std::string name;
	args argv;
};

// Starts t on port, its output into file, stdin from in; with traced,
// under strace -f -c, which writes its count once it ends.
pid_t spawn(const tool &t, int port, const std::string &file,
    const std::string &in = "", bool traced = false)
{
	args a = t.argv;
	for (auto &w : a)
		w = fill(w, port);
	if (traced)
		a.insert(a.begin(), {"strace", "-f", "-c", "-o", trace});
	int o = -1, e = -1;
	pid_t pid = start(a, output::closed, file, &o, &e, in);
	close(e);
	return pid;
}

// Waits for pid, ended with SIGTERM unless it ends by itself.
void stop(pid_t pid, bool term = true)
{
	if (term)
		kill(-pid, SIGTERM);
	if (reap(pid, 5000) < 0)
		kill(-pid, SIGKILL), reap(pid, 5000);
}

// The system calls strace -c counted: the calls column of its total.
double syscalls()
{
	std::ifstream f(trace);
	std::string l, pct, secs, usecs, calls;
	while (std::getline(f, l))
		if (l.size() > 5 && l.compare(l.size() - 5, 5, "total") == 0)
			std::istringstream(l) >> pct >> secs >> usecs >> calls;
	return atof(calls.c_str());
}

// One sender run after the other, interleaved, each datagram checked by a
// listener.
void senders(const std::vector<tool> &all, const std::string &payload)
{
	udp listener;
	const int rounds = quick ? 40 : 400, warm = quick ? 5 : 30;
	std::map<std::string, std::vector<double>> us;
	std::map<std::string, int> arrived;
	for (int r = 0; r < warm + rounds; r++)
		for (size_t k = 0; k < all.size(); k++) {
			const tool &one = all[(k + size_t(r)) % all.size()];
			long long t0 = now_us();
			stop(spawn(one, listener.port, "/dev/null", payload),
			    false);
			if (r >= warm)
				us[one.name].push_back(now_us() - t0);
			std::string d;
			arrived[one.name] += r >= warm && one.argv.size() > 1 &&
			    listener.recv(d, nullptr, 1000) && d.size() == 50;
		}
	printf("One sender run: start, bind, send 50 bytes, exit (median of "
	       "%d interleaved rounds)\n\n%-10s %10s %16s %9s\n",
	    rounds, "sender", "us per run", "tossgram / this", "arrived");
	for (const auto &one : all)
		printf("%-10s %10.0f %16.2f %9s\n", one.name.c_str(),
		    median(us[one.name]),
		    median(us["tossgram"]) / median(us[one.name]),
		    one.argv.size() > 1 ? (std::to_string(arrived[one.name]) +
		                              "/" + std::to_string(rounds))
		                              .c_str()
		                        : "-");
}

// n records at rate per second (0: as fast as one socket sends them) to a
// fresh receiver, from one socket or, with two, from two in turn; once its
// output stops growing, what it lost, the rate it printed at, and how many
// records of the second socket it printed.
struct trial {
	double lost = 0, rate = 0, second = 0;
};

trial send_to(
    const tool &r, long rate, long n, bool traced = false, bool two = false)
{
	int port = freeport();
	pid_t pid = spawn(r, port, out, "", traced);
	bound(pid, port, 10000);
	udp u, v;
	long long t0 = now_ms();
	for (long i = 0; i < n; i++) {
		while (rate > 0 && now_ms() < t0 + i * 1000 / rate) {
		}
		(two && i % 2 ? v : u)
		    .send("d" + std::to_string(i) + "\n", port);
	}
	off_t size = -1;
	long long changed = now_ms();
	until(20000, [&] {
		struct stat sb {};
		stat(out.c_str(), &sb);
		if (sb.st_size != size)
			size = sb.st_size, changed = now_ms();
		return now_ms() - changed >= 300;
	});
	trial t;
	stop(pid);
	// Records are the lines that are not empty: server adds a newline
	// to a text that ends in one.
	std::ifstream f(out);
	double printed = 0;
	for (std::string l; std::getline(f, l);)
		if (!l.empty())
			printed++, t.second += atol(l.c_str() + 1) % 2;
	t.lost = 100 * (double(n) - printed) / double(n);
	t.rate = printed * 1000 / double(std::max(1LL, changed - t0));
	return t;
}

// Each receiver at paced rates and unpaced, interleaved: the highest rate
// without loss, the saturated rate against socat's and nc's, system calls
// per record (a run with n records less one with none), and the second of
// two senders.
void receivers(const std::vector<tool> &all, const std::string &dir)
{
	const long rates[] = {5000, 10000, 20000, 50000, 100000, 200000, 0};
	std::map<std::string, std::map<long, std::vector<double>>> lost, seen;
	for (int k = 0; k < (quick ? 1 : 3); k++)
		for (long rate : rates)
			for (size_t j = 0; j < all.size(); j++) {
				const tool &r =
				    all[(j + size_t(k)) % all.size()];
				long n = rate * (quick ? 1 : 4) / 10;
				trial t = send_to(r, rate,
				    rate        ? std::max(4000L, n)
				        : quick ? 20000
				                : 100000);
				lost[r.name][rate].push_back(t.lost);
				seen[r.name][rate].push_back(t.rate);
			}
	std::ofstream dat(dir + "/loss.dat");
	dat << "rate";
	for (const auto &r : all)
		dat << " \"" << r.name << "\"";
	for (long rate : rates)
		for (size_t j = 0; rate > 0 && j <= all.size(); j++)
			dat << (j ? " " : "\n")
			    << (j ? median(lost[all[j - 1].name][rate]) : rate);
	dat << "\n";
	printf("\nReceiver on loopback: a fresh one for each trial, its output "
	       "to a file\n\n%-14s %13s %12s %8s %8s %10s %10s\n",
	    "receiver", "no loss up to", "saturated/s", "/ socat", "/ nc",
	    "calls each", "2nd sender");
	for (const auto &r : all) {
		long best = 0;
		for (long rate : rates)
			if (rate > 0 && median(lost[r.name][rate]) == 0)
				best = std::max(best, rate);
		const long n = quick ? 200 : 1000;
		send_to(r, 2000, 0, true);
		double idle = syscalls();
		send_to(r, 2000, n, true);
		double sat = median(seen[r.name][0]);
		printf("%-14s %13ld %12.0f %8.2f %8.2f %10.1f %7.0f/5\n",
		    r.name.c_str(), best, sat, sat / median(seen["socat"][0]),
		    sat / median(seen["nc"][0]),
		    (syscalls() - idle) / double(n),
		    send_to(r, 50, 10, false, true).second);
	}
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc != 5 && argc != 7) {
		fprintf(stderr,
		    "usage: bench TOSSGRAM SERVER OUTDIR "
		    "quick|full [MUSL-LIBC MUSL-SERVER]\n");
		return 2;
	}
	const std::string dir = argv[3], sp = std::to_string(freeport());
	quick = std::string(argv[4]) == "quick";
	out = dir + "/out.tmp";
	trace = dir + "/strace.tmp";
	std::ofstream(dir + "/payload.tmp", std::ios::binary)
	    << "flarn" << std::string(45, '\0');
	setvbuf(stdout, nullptr, _IOLBF, 0);
	senders(
	    {{"tossgram", {argv[1], sp, "127.0.0.1", "{}"}},
	        {"nc", {"nc", "-n", "-u", "-w0", "-p", sp, "127.0.0.1", "{}"}},
	        {"socat",
	            {"socat", "-t0", "-",
	                "UDP-SENDTO:127.0.0.1:{},sourceport=" + sp}},
	        {"/bin/true", {"/bin/true"}}},
	    dir + "/payload.tmp");
	// With musl: the same program built against it, started through its
	// loader.
	std::vector<tool> all = {{"server", {argv[2], "{}"}},
	    {"socat", {"socat", "-u", "UDP-RECV:{}", "-"}},
	    {"nc", {"nc", "-d", "-n", "-u", "-l", "{}"}}};
	if (argc == 7)
		all.insert(all.begin() + 1,
		    {"server (musl)", {argv[5], argv[6], "{}"}});
	receivers(all, dir);
	for (const auto &f : {out, trace, dir + "/payload.tmp"})
		unlink(f.c_str());
	return 0;
}
