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
    # The devices are looked up on the bus the line names: an emulated one
    # when it says --emulate (with its shape), the USB bus otherwise.
    local bus=() i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --emulate) bus+=(--emulate) ;;
            --boot-devices | --normal-devices | --claim-scope) bus+=("${words[i]}" "${words[i + 1]}") ;;
            --boot-devices=* | --normal-devices=* | --claim-scope=*) bus+=("${words[i]}") ;;
        esac
    done
    case $prev in
        -s | --device)
            # Numbers, hardware IDs and IDs of the devices attached now.
            local devices
            devices=$(zorbel "${bus[@]}" list --json 2>/dev/null |
                grep -oE '"(number|hardware_id|id)": ("[^"]*"|[0-9]+)' | sed -E 's/^"[a-z_]+": "?([^"]*)"?$/\1/')
            COMPREPLY=($(compgen -W "$devices" -- "$cur"))
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
        send) options="--timeout --json" ;;
        recv) options="--bytes --timeout --force --json" ;;
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
