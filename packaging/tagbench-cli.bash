# bash completion for tagbench-cli. Commands and options come from the program's own --help, so
# the completion follows the installed version.
_tagbench_cli() {
    local cur prev help
    COMPREPLY=()
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    # --usb=SERIAL: the serial numbers of the FTDI bridges plugged in (bash splits the word at "=").
    if [[ $prev == = && ${COMP_WORDS[COMP_CWORD-2]} == --usb ]] || [[ $cur == --usb=* ]]; then
        local serials=$(for d in /sys/bus/usb/devices/*; do
            [[ $(cat "$d/idVendor" 2>/dev/null) == 0403 && -r $d/serial ]] && cat "$d/serial"
        done)
        if [[ $cur == --usb=* ]]; then
            COMPREPLY=($(compgen -P --usb= -W "$serials" -- "${cur#--usb=}"))
        else
            COMPREPLY=($(compgen -W "$serials" -- "$cur"))
        fi
        return
    fi
    # conformance --only ID,...: the checks and their groups from --help, after the ids typed so far.
    if [[ $prev == --only || ( $prev == = && ${COMP_WORDS[COMP_CWORD-2]} == --only ) ]]; then
        local checks=$("${COMP_WORDS[0]}" --help 2>/dev/null | awk '/^    [a-z]+\.[a-z-]+  / {print $1}')
        local groups=$(sed 's/\..*//' <<<"$checks" | sort -u)
        local typed=
        [[ $cur == *,* ]] && typed=${cur%,*},
        COMPREPLY=($(compgen -P "$typed" -W "$checks $groups" -- "${cur##*,}"))
        return
    fi
    case $prev in
        --procedure)
            COMPREPLY=($(compgen -W "auto 3964r framed" -- "$cur"))
            return
            ;;
        --port)
            COMPREPLY=($(compgen -W "$(ls -d /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS* /dev/pts/[0-9]* 2>/dev/null)" -- "$cur"))
            return
            ;;
        --log|firmware|sendfile|program|verify|--profiles|--record|--ledger|--csv|--junit|--report)
            COMPREPLY=($(compgen -f -- "$cur"))
            compopt -o filenames 2>/dev/null
            return
            ;;
        --key|loadkey|authenticate)
            COMPREPLY=($(compgen -W "A B" -- "$cur"))
            return
            ;;
        btl)
            COMPREPLY=($(compgen -W "program verify" -- "$cur"))
            return
            ;;
    esac
    help=$("${COMP_WORDS[0]}" --help 2>/dev/null)
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(grep -o -- '--[a-z0-9-]*' <<<"$help" | sort -u) --simulate=com --simulate=usb --usb=" -- "$cur"))
    else
        COMPREPLY=($(compgen -W "$(awk '/^  [a-z]/ {print $1}' <<<"$help" | sort -u)" -- "$cur"))
    fi
}
complete -F _tagbench_cli tagbench-cli
