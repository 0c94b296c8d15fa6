// Memory that runs short, as tarvo meets it: each block of the host libraries larger than
// 1 MiB fails (KX_HEAP_BLOCK_LIMIT), so lists, maps, texts and sorts that cannot grow do
// so without a test taking gigabytes. Each step raises its error, leaves what the script
// holds as it was, and the script goes on to its end and exits 0, with nothing left alive.
#include <gtest/gtest.h>

#include "host_run.h"

namespace {

TEST(MemoryShort, EachStepRaisesAndLeavesWhatTheScriptHoldsAsItWas) {
    static ScratchFolder folder("tsh-memory-tests");
    ScratchFolder::Put(
        "short.tarvo",
        "l = [];\n"
        "try { for (i = 0; ; i += 1) { push(l, i); } } catch (e) { print(\"list \", e.code, \" \", e.text, \" \", len(l) == i, l[-1] == i - 1); }\n"
        "m = {};\n"
        "try { for (k = 0; ; k += 1) { m[k] = k; } } catch (e) { print(\"map \", e.code, \" \", len(m) == k, has(m, k)); }\n"
        "s = repeat(\"x\", 600000);\n"
        "try { t = s + s; } catch (e) { print(\"+ \", e.code, \" \", e.text); }\n"
        "try { s += s; } catch (e) { print(\"+= \", e.code, \" \", len(s)); }\n"
        "try { t = join([s, s], \"\"); } catch (e) { print(\"join \", e.code); }\n"
        "try { print(s, s); } catch (e) { print(\"print \", e.code); }\n"
        "try { t = format(\"%s%s\", s, s); } catch (e) { print(\"format \", e.code); }\n"
        "try { t = replace(s, \"x\", \"yy\"); } catch (e) { print(\"replace \", e.code); }\n"
        // 2^17 items fill their list's block of 1 MiB exactly: a sort's block for them is larger.
        "big = []; for (i = 0; i < 131072; i += 1) { push(big, 131072 - i); }\n"
        "function key(x) { return x; }\n"
        "try { sort(big); } catch (e) { print(\"sort \", e.code, \" \", big[0], \" \", big[-1]); }\n"
        "try { sort(big, key); } catch (e) { print(\"sort by key \", e.code, \" \", big[0]); }\n"
        "try { w = split(repeat(\"a,\", 300000), \",\"); } catch (e) { print(\"split \", e.code); }\n"
        "print(\"ran to its end\");\n");
    SetEnvironmentVariableA("KX_HEAP_BLOCK_LIMIT", "1048576");
    HostRun run = RunTarvo("--stats short.tarvo");
    SetEnvironmentVariableA("KX_HEAP_BLOCK_LIMIT", nullptr);
    EXPECT_EQ(run.Text(),
              "status 0\nlist 121 out of memory 11\nmap 121 10\n+ 120 string too long\n+= 120 600000\njoin 120\n"
              "print 120\nformat 120\nreplace 120\nsort 121 131072 1\nsort by key 121 131072\nsplit 121\n"
              "ran to its end\nstats: 0 live handles, 0 live objects\n");
}

}  // namespace
