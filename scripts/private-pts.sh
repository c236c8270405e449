# Sourced by the scripts that run the simulated unit on pseudo-terminals. Pseudo-terminal
# numbers are handed out again at once: a hung-up unit leaves its ports/ link on a number that
# another program (another run on this machine) may be given next, and the program, retrying
# its port, would take that one. `private_pts ARGS...` therefore runs the calling script again
# with ARGS in a private mount namespace, and there mounts a devpts instance of its own.
private_pts() {
    if [[ -z ${QM_PRIVATE_PTS:-} ]]; then
        local flags=-m
        [[ $(id -u) -eq 0 ]] || flags=-rm
        exec unshare "$flags" --propagation private env QM_PRIVATE_PTS=1 "$0" "$@"
    fi
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts
    mount --bind /dev/pts/ptmx /dev/ptmx
}
