"""Builds and runs the micro-benchmarks, then prints each routine's time as a ratio to its
C or C++ library peer, measured in the same run. Usage: python3 -m bench.micro_runs"""
import json
import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
subprocess.run(["cmake", "--preset", "bench"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
subprocess.run(["cmake", "--build", "--preset", "bench"], cwd=ROOT, check=True,
               stdout=subprocess.DEVNULL)
out = subprocess.run([os.path.join(ROOT, "build/bench/bench/micro_bench"),
                      "--benchmark_format=json", "--benchmark_repetitions=5",
                      "--benchmark_report_aggregates_only=true"],
                     check=True, capture_output=True, text=True).stdout
times = {b["run_name"]: b["cpu_time"] for b in json.loads(out)["benchmarks"]
         if b.get("aggregate_name") == "median"}
PAIRS = [("MeasureText/32", "strlen/32"), ("MeasureText/31999", "strlen/31999"),
         ("WordwiseLength/32", "strlen/32"), ("WordwiseLength/31999", "strlen/31999"),
         ("FindText", "memmem"), ("FindText", "std::search"),
         ("SignedToDecimal", "std::to_chars")]
print("| routine | ns | peer | ns | ratio |")
print("|---|---|---|---|---|")
for own, peer in PAIRS:
    print("| %s | %.1f | %s | %.1f | %.2f |" % (own, times[own], peer, times[peer],
                                                times[own] / times[peer]))
