#!/bin/sh
# A bounded fuzz run for CTest: the whole log is kept beside the corpus, and
# what is shown is its summary (executions, coverage), or its tail on a crash.
# usage: run.sh FUZZER SECONDS CORPUS SEEDS
set -u
fuzzer=$1 seconds=$2 corpus=$3 seeds=$4
log=$corpus.log
status=0
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$(dirname "$corpus")/" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::|^Done ' "$log"
if [ "$status" != 0 ]; then
  echo "fuzzer failed with status $status; its log ends:"
  tail -n 60 "$log"
fi
exit "$status"
