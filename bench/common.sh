# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by the search benchmarks (sourced, POSIX sh).

# Gives tidewipe-cli ($1) a settings store of its own, with activity logging off (the
# log writer syncs every line), so that only the operation is measured. Sets $cfg;
# the caller removes it.
private_settings() {
    cfg=$(mktemp -d "${TMPDIR:-/tmp}/tw-bench-cfg.XXXXXX")
    export TIDEWIPE_CONFIG_HOME="$cfg"
    "$1" settings set SaveToLogfile 0 >/dev/null
}

# Best wall time of 3 runs, in milliseconds, after one warm-up run.
best() {
    "$@" >/dev/null 2>&1 || true
    b=
    for _ in 1 2 3; do
        s=$(date +%s%N)
        "$@" >/dev/null 2>&1 || true
        e=$(date +%s%N)
        t=$(( (e - s) / 1000000 ))
        if [ -z "$b" ] || [ "$t" -lt "$b" ]; then b=$t; fi
    done
    echo "$b"
}
