// SPDX-License-Identifier: ISC
// probe: what ordinary code asks of the target's compiler runtime and libc
// (64-bit division, floating point computed, printed and parsed, a static
// destructor at exit), run on the exact CPU; never installed.
#include <stdio.h>
#include <stdlib.h>

namespace {

struct last {
	~last()
	{
		puts("destroyed at exit");
	}
};

last at_exit;

} // namespace

int main(int argc, char *argv[])
{
	// From argc, so that nothing is folded at compile time.
	long long big = 123456789012345LL * argc;
	unsigned long long ubig =
	    18446744073709551557ULL / static_cast<unsigned>(argc);
	printf("%lld %lld %llu %llu\n", big / 1000, big % 1000, ubig / 7,
	    ubig % 7);
	printf("%lld\n", -big / 999);

	double x = argc * 1.5;
	float f = static_cast<float>(x) / 3;
	printf("%g %g %g %g\n", x, x / 3, x * 1e10, static_cast<double>(f));
	printf("%d %lld\n", static_cast<int>(x * 1000),
	    static_cast<long long>(x * 1e15));

	double e = strtod(argc > 1 ? argv[1] : "2.718281828", nullptr);
	printf("%.6f %.3e %d\n", e * 2, e / 1e6, e > x);
	return 0;
}
