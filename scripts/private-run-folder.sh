# Sourced by the scripts that run the whole program. `private_run_folder NAME` makes a fresh
# folder /tmp/NAME.XXXXXX holding the data and runtime folders (exported as XDG_DATA_HOME and
# XDG_RUNTIME_DIR), sets `work` to it and `data` to the program's data folder (made), and
# starts an empty `pids` list whose processes are ended when the script exits.
private_run_folder() {
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run
    mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
    data="$XDG_DATA_HOME/Velmarquet/Quillmere Monitor"
    mkdir -p "$data"
    pids=()
    trap end_listed_processes EXIT
}

end_listed_processes() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
