# bash completion for zorbel: commands, their options, and device selectors
# taken from the devices attached now (hardware IDs, from 'zorbel list').
_zorbel() {
    local cur prev words cword
    _init_completion 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    }
    local commands="list info boot send recv echo bench wait watch demo capture help"
    local global="-q --quiet -v --verbose -s --device --version --help --emulate --boot-devices
        --normal-devices --link-delay-us --link-bandwidth --corrupt-rate --drop-rate --duplicate-rate
        --seed --claim-scope --boot-delay-ms --arrive-after-ms --leave-after-ms --unplug-after --capture"
    local command="" w
    for w in "${words[@]:1:cword-1}"; do
        case " $commands " in *" $w "*) command=$w; break ;; esac
    done
    case $prev in
        -s | --device)
            local ids
            ids=$(zorbel list --json 2>/dev/null | grep -o '"hardware_id": "[^"]*"' | cut -d'"' -f4)
            COMPREPLY=($(compgen -W "$ids" -- "$cur"))
            return
            ;;
        --mode) COMPREPLY=($(compgen -W "boot normal" -- "$cur")); return ;;
        --direction) COMPREPLY=($(compgen -W "send recv" -- "$cur")); return ;;
        --capture) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    esac
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$global" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi
    local options=""
    case $command in
        list) options="--json" ;;
        info) options="--json" ;;
        boot) options="--json --timeout --max-size" ;;
        send) options="--timeout" ;;
        recv) options="--bytes --timeout --force" ;;
        echo) options="--count --size --timeout --json" ;;
        bench) options="--pipes --first-pipe --bytes --direction --timeout --json" ;;
        wait) options="--mode --timeout --json" ;;
        watch) options="--json" ;;
        demo) options="--megabytes" ;;
        capture) options="--pipe --json" ;;
        help) COMPREPLY=($(compgen -W "$commands" -- "$cur")); return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options $global" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F _zorbel zorbel
