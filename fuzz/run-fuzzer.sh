#!/usr/bin/env bash
# Runs one fuzz target for a bounded time from its seeds and regression
# inputs. Exits non-zero when the target found a crash, a leak, a sanitizer
# report, an oracle failure or a hang; the input that caused it is kept under
# <work-dir>/artifacts.
#   fuzz/run-fuzzer.sh <fuzz-build-dir> <target> <seconds> [work-dir] [libFuzzer options...]
# <target> is packet_reader, video_conversion, decoders or recording.
set -euo pipefail
if [ $# -lt 3 ]; then
  echo "usage: $0 <fuzz-build-dir> <target> <seconds> [work-dir] [libFuzzer options...]" >&2
  exit 2
fi
BUILD=$(cd "$1" && pwd)
TARGET=$2
SECONDS_TO_RUN=$3
WORK=${4:-$BUILD/fuzz/work}
shift $(( $# >= 4 ? 4 : 3 ))
HERE=$(cd "$(dirname "$0")" && pwd)

BINARY=$BUILD/fuzz/qs_fuzz_$TARGET
SEEDS=$BUILD/fuzz/seeds/$TARGET
REGRESSIONS=$HERE/regressions/$TARGET
[ -x "$BINARY" ] || { echo "no fuzz target $BINARY (build qs_fuzz_all first)" >&2; exit 2; }

# New inputs go to a corpus of this run's own; the seeds and the committed
# regression inputs are only read.
CORPUS=$WORK/corpus/$TARGET
ARTIFACTS=$WORK/artifacts
mkdir -p "$CORPUS" "$ARTIFACTS"
DIRS=("$CORPUS")
[ -d "$SEEDS" ] && DIRS+=("$SEEDS")
[ -d "$REGRESSIONS" ] && DIRS+=("$REGRESSIONS")

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
echo "== fuzz $TARGET for ${SECONDS_TO_RUN}s (corpus $CORPUS)"
"$BINARY" -max_total_time="$SECONDS_TO_RUN" -timeout=10 -rss_limit_mb=2560 -max_len=16384 \
  -print_final_stats=1 -artifact_prefix="$ARTIFACTS/$TARGET-" "$@" "${DIRS[@]}"
