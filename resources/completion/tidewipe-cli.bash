# bash completion for tidewipe-cli
# Commands and options are read from the program's own --help, so they never go stale;
# SOURCE and mount-point arguments are offered the mounted file systems, and image
# files, devices and folders as files are.

_tidewipe_cli_words() {  # HELP_TEXT: the names listed in a command overview
    awk '/^[A-Za-z][A-Za-z ,-]*:$/ { inlist = ($0 !~ /^(Usage|Options|Positionals):/); next }
         inlist && /^  [a-z][a-z-]*( |$)/ { print $1 }' <<<"$1"
}

_tidewipe_cli_options() {  # HELP_TEXT: every long and short option it lists
    grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' <<<"$1" | tr -d ' ,' | sort -u
}

_tidewipe_cli_mounts() {
    local dev mnt rest
    while read -r dev mnt rest; do
        printf '%b\n' "$mnt"
    done </proc/self/mounts
}

_tidewipe_cli() {
    local cur prev cmd=() w help i
    COMPREPLY=()
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    local prog=${COMP_WORDS[0]}

    # The command path typed so far ("trash", "trash restore"): words that are not options.
    for ((i = 1; i < COMP_CWORD; i++)); do
        w=${COMP_WORDS[i]}
        [[ $w == --config-home ]] && { ((i++)); continue; }
        [[ $w == -* ]] && continue
        help=$("$prog" "${cmd[@]}" --help 2>/dev/null)
        if _tidewipe_cli_words "$help" | grep -qxF -- "$w"; then
            cmd+=("$w")
        fi
    done
    help=$("$prog" "${cmd[@]}" --help 2>/dev/null)

    case $prev in
        --config-home | --to | --trash-dir)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        --drive)
            COMPREPLY=($(compgen -W "$(_tidewipe_cli_mounts)" -- "$cur"))
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_tidewipe_cli_options "$help")" -- "$cur"))
        return
    fi

    local subs
    subs=$(_tidewipe_cli_words "$help")
    if [[ -n $subs ]]; then
        COMPREPLY=($(compgen -W "$subs" -- "$cur"))
        return
    fi

    # Arguments: mount points where the command takes a volume or a mount point, files
    # everywhere (image files, devices, folders).
    if grep -qE '^  (SOURCE|MOUNTPOINT|DIR)\b' <<<"$help"; then
        COMPREPLY=($(compgen -W "$(_tidewipe_cli_mounts)" -- "$cur"))
    fi
    compopt -o filenames 2>/dev/null
    COMPREPLY+=($(compgen -f -- "$cur"))
}

complete -F _tidewipe_cli tidewipe-cli
