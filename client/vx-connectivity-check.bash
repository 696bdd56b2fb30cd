# bash completion for vx-connectivity-check: commands, options and their values.
_vx_connectivity_check()
{
    local cur prev words cword
    _init_completion || return

    case $prev in
        --direction)
            COMPREPLY=($(compgen -W 'in out both' -- "$cur"))
            return
            ;;
        --server)
            _known_hosts_real -- "$cur"
            return
            ;;
        --port | --timeout)
            return # a number
            ;;
        tcp | udp)
            return # the ports, e.g. 80,443,8000-8010
            ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '--server --port --timeout --direction --json --verbose
            --version --help -h -4 -6' -- "$cur"))
        return
    fi

    # The command: ip alone, or groups of tcp|udp followed by their ports.
    local i word command=
    for ((i = 1; i < cword; i++)); do
        word=${words[i]}
        case ${words[i - 1]} in
            --server | --port | --timeout | --direction) continue ;;
        esac
        case $word in
            ip | tcp | udp)
                command=$word
                break
                ;;
        esac
    done
    case $command in
        '') COMPREPLY=($(compgen -W 'ip tcp udp' -- "$cur")) ;;
        tcp | udp) COMPREPLY=($(compgen -W 'tcp udp' -- "$cur")) ;;
    esac
} &&
    complete -F _vx_connectivity_check vx-connectivity-check
