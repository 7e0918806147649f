#!/bin/sh
# The system tests while every core is kept busy: a test that passes only on
# an idle machine depends on a peer's timing, which is a defect. Runs the
# namespaces' whole system suite NS_RUNS times (default 3), then the vm
# subset VM_RUNS times (default 2) on each virtual machine, x86 and PowerPC,
# in a row, with stress-ng's CPU hogs on every core; prints each run's
# pytest summary, keeps each run's output in build/under-load/, and fails
# when any run failed. As root, after `sh scripts/build.sh`.
#   sh scripts/test-under-load.sh [NS_RUNS [VM_RUNS]]
set -u
cd "$(dirname "$0")/.."
ns_runs=${1:-3}
vm_runs=${2:-2}
logs=build/under-load
mkdir -p "$logs"

stress-ng --cpu "$(nproc)" >/dev/null 2>&1 &
hog=$!
trap 'kill $hog 2>/dev/null' EXIT INT TERM

failed=0
run() {
    name=$1 machine=$2 target=$3; shift 3
    SWITCH_MACHINE=$machine SWITCH_TARGET=$target SWITCH_BUILD_DIR="$PWD/build/host" \
        /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@" tests/system \
        > "$logs/$name.log" 2>&1 || failed=1
    echo "== $name: $(tail -n 1 "$logs/$name.log")"
}

i=1
while [ "$i" -le "$ns_runs" ]; do
    run "ns-$i" ns host
    i=$((i + 1))
done
i=1
while [ "$i" -le "$vm_runs" ]; do
    run "vm-$i" vm host -m vm
    run "ppc-vm-$i" vm ppc -m vm
    i=$((i + 1))
done
exit "$failed"
