# Sourced by the shell tests: within N COMMAND... runs COMMAND until it succeeds, for up to N tenths of a
# second, and returns its last status. A bound on what the test can see, never a pause of its own.
within() {
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}
