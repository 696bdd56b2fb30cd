# bash completion for vx-connectivity-tester: the options, the first argument only (the rest
# are an account, a password, a command code or a port, none of which can be guessed).
_vx_connectivity_tester()
{
    local cur prev words cword
    _init_completion || return

    if ((cword == 1)); then
        COMPREPLY=($(compgen -W '-e -i -u -v -t -p -r -c -h --exec --install --uninstall
            --terminate --pause --resume --command --check-settings --version --help' -- "$cur"))
        return
    fi
    case ${words[1]} in
        -i | -install | --install)
            ((cword == 2)) && COMPREPLY=($(compgen -u -- "$cur"))
            ;;
    esac
} &&
    complete -F _vx_connectivity_tester vx-connectivity-tester
