# bash completion for kestrun: commands, each command's options, the values
# of --coder, --format, --to and -f, and file names otherwise.

_kestrun()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    local commands="demo encode decode verify info framemd5 fixity export raw-encode raw-decode help"
    local formats="yuy2 yuyv422 uyvy uyvy422 rgb24 bgr24 rgb32 yuv422p yuvj422p yuv420p yuvj420p yuv411p yuvj411p"
    local pix_fmts="yuyv422 uyvy422 rgb24 bgr24 yuv422p yuvj422p yuv420p yuvj420p yuv411p yuvj411p"
    COMPREPLY=()

    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W "$commands --version --help" -- "$cur"))
        return
    fi
    local command=${COMP_WORDS[1]}
    if [[ $command == help ]]; then
        ((COMP_CWORD == 2)) && COMPREPLY=($(compgen -W "${commands% help}" -- "$cur"))
        return
    fi

    case $prev in
        --coder) COMPREPLY=($(compgen -W "huffman deflate smallest archive" -- "$cur")); return ;;
        --to) COMPREPLY=($(compgen -W "ffv1 v210 uyvy" -- "$cur")); return ;;
        --format)
            if [[ $command == framemd5 ]]; then
                COMPREPLY=($(compgen -W "$pix_fmts" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "$formats" -- "$cur"))
            fi
            return ;;
        -f)
            if [[ $command == raw-decode ]]; then
                COMPREPLY=($(compgen -W "yuy2 uyvy rgb24 rgb32" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "yuy2 uyvy rgb24" -- "$cur"))
            fi
            return ;;
        --threads | -s | -q) return ;;
    esac

    local options
    case $command in
        demo) options="--coder --threads --quiet" ;;
        encode) options="--coder --lossy --no-fixity --threads --quiet" ;;
        decode) options="--format --lossy --threads --quiet" ;;
        verify) options="--against --fixity --json --threads --quiet" ;;
        info) options="--frames --json" ;;
        framemd5) options="--format --lossy --threads --quiet" ;;
        fixity) options="--force --threads --quiet" ;;
        export) options="--to --threads --force --quiet" ;;
        raw-encode) options="-s -f -q --threads --quiet" ;;
        raw-decode) options="-s -f --top-down --threads --quiet" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
    else
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F _kestrun kestrun
