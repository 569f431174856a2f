#!/bin/sh
# The unit suite under valgrind's memcheck: no invalid access, no use of
# uninitialised memory, no definite leak.
# Usage: tests/memcheck.sh [BUILD_DIR]   (default build/default, built first)
set -eu
build=${1:-build/default}
status=0
for test in entry_test frame_test point_address_test serial_port_test channel_test capture_test exchange_test \
    value_requests_test win32_foundation_test posix_port_test channel_pty_test; do
  log="$build/tests/$test.memcheck.log"
  if valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
      --track-origins=yes "$build/tests/$test" --gtest_brief=1 >"$log" 2>&1; then
    echo "memcheck $test: clean"
  else
    echo "memcheck $test: FAILED"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
