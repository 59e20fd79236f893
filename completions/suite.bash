# bash completion for the TIFF tool suite: options, option arguments with a
# fixed set of words, and file names filtered by what each program reads.
# Installed once under each program's name.

shopt -s extglob

_tiffsuite_files()
{
    # Files with one of the extensions in $1 (an extglob alternation),
    # in either letter case, and directories.
    local IFS=$'\n'
    local pattern="@($1)"
    # Names with spaces are quoted, and directories get their slash.
    compopt -o filenames 2>/dev/null
    COMPREPLY=( $(compgen -o plusdirs -f -X "!*.$pattern" -- "$cur") )
    shopt -q nocaseglob || COMPREPLY+=( $(compgen -f -X "!*.${pattern^^}" -- "$cur") )
}

_tiffsuite()
{
    local cur prev program opts="" words_for="" exts="tif|tiff"
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    program=${1##*/}
    local shared_c="none packbits lzw zip"
    local takes_arg=""

    case $program in
    anymaptag)
        opts="-c -r -R"; takes_arg="-c -r -R"; exts="ppm|pgm|pbm|pnm|tif|tiff"
        [[ $prev == -c ]] && words_for="$shared_c jpeg jpeg:r g3 g3:1d g3:2d g3:fill g4 lzw:2 zip:2" ;;
    dibtag)
        opts="-c -r -o -h"; takes_arg="-c -r"; exts="bmp|dib|tif|tiff"
        [[ $prev == -c ]] && words_for="$shared_c jpeg jpeg:r lzw:2 zip:2"
        [[ $prev == -o ]] && { _tiffsuite_files "tif|tiff"; return; } ;;
    suntag)
        opts="-c -r -h"; takes_arg="-c -r"; exts="ras|rast|sun|rs|im1|im8|im24|im32|tif|tiff"
        [[ $prev == -c ]] && words_for="$shared_c jpeg jpeg:r lzw:2 zip:2" ;;
    lzwtag)
        opts="-c -r"; takes_arg="-c -r"; exts="gif|tif|tiff"
        [[ $prev == -c ]] && words_for="$shared_c lzw:2 zip:2" ;;
    greytag)
        opts="-c -r -R -G -B"; takes_arg="-c -r -R -G -B"
        [[ $prev == -c ]] && words_for="$shared_c jpeg jpeg:r lzw:2 zip:2" ;;
    cmapexpand)
        opts="-C -c -p -r"; takes_arg="-C -c -p -r"
        [[ $prev == -c ]] && words_for="$shared_c jpeg jpeg:r lzw:2 zip:2"
        [[ $prev == -p ]] && words_for="contig separate"
        [[ $prev == -C ]] && words_for="8 16" ;;
    halftone)
        opts="-c -f -r -t"; takes_arg="-c -f -r -t"
        [[ $prev == -c ]] && words_for="$shared_c g3 g3:1d g3:2d g3:fill g4 lzw:2 zip:2"
        [[ $prev == -f ]] && words_for="lsb2msb msb2lsb" ;;
    chromatag)
        opts="-c -h -v -r -z"; takes_arg="-c -h -v -r"
        [[ $prev == -c ]] && words_for="$shared_c jpeg"
        [[ $prev == -h || $prev == -v ]] && words_for="1 2 4" ;;
    tagtruecolor)
        opts="-c -r -t -b -n"; takes_arg="-c -r -t"
        [[ $prev == -c ]] && words_for="$shared_c jpeg" ;;
    tagshow)
        # -S, -l, -m and -v are accepted (and ignored) too.
        opts="-c -d -D -f -i -j -o -r -s -w -z -0 -1 -2 -3 -4 -5 -6 -7 -8 -9 -S -l -m -v"
        takes_arg="-f -o"
        [[ $prev == -f ]] && words_for="lsb2msb msb2lsb" ;;
    pageburst)
        opts=""; exts="tif|tiff" ;;
    tagpoke)
        opts="-s -sf"; takes_arg=""
        local text_tags="Artist Copyright DateTime DocumentName HostComputer ImageDescription Make Model PageName Software"
        if [[ $prev == -s ]]; then
            words_for="$text_tags PageNumber ResolutionUnit XResolution YResolution"
        elif [[ $prev == -sf ]]; then
            words_for=$text_tags
        elif (( COMP_CWORD >= 2 )) && [[ ${COMP_WORDS[COMP_CWORD-2]} == -sf ]]; then
            # The file holding the value: any file.
            compopt -o filenames 2>/dev/null
            local IFS=$'\n'
            COMPREPLY=( $(compgen -f -- "$cur") )
            return
        fi ;;
    ccitttag)
        opts="-R -X -o -r -1 -2 -3 -4 -5 -6 -7 -8 -A -B -L -M -P -U -W -a -b -c -f -l -m -p -s -u -v -w -z"
        takes_arg="-R -X -o -r"; exts="g3|g4|fax|raw"
        [[ $prev == -o ]] && { exts="tif|tiff"; _tiffsuite_files "$exts"; return; } ;;
    ccittpage)
        opts="-l -p -x -y -W -H -w -S"; takes_arg="-l -p -x -y -W -H" ;;
    noteinsert)
        # Switches may be abbreviated (-cf for -cfile, -c or -co for
        # -comment) and written in either case.
        opts="-replace -comment -cfile"; exts="jpg|jpeg|jpe|jfif"
        local switch=${prev,,}
        if [[ $switch == -cf* && -cfile == "$switch"* ]]; then
            compopt -o filenames 2>/dev/null
            local IFS=$'\n'
            COMPREPLY=( $(compgen -f -- "$cur") )
            return
        fi
        [[ ${#switch} -ge 2 && -comment == "$switch"* ]] && takes_arg=$prev ;;
    notelist)
        opts="-verbose"; exts="jpg|jpeg|jpe|jfif" ;;
    esac
    # --help and --version: among the options, or as the first argument of
    # the programs that read their arguments by position.
    case $program in
    pageburst|tagpoke) (( COMP_CWORD == 1 )) && opts+=" --help --version" ;;
    *) opts+=" --help --version" ;;
    esac

    if [[ -n $words_for ]]; then
        COMPREPLY=( $(compgen -W "$words_for" -- "$cur") )
        return
    fi
    if [[ " $takes_arg " == *" $prev "* ]]; then
        COMPREPLY=()
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=( $(compgen -W "$opts" -- "$cur") )
        return
    fi
    _tiffsuite_files "$exts"
}

complete -F _tiffsuite anymaptag dibtag suntag lzwtag greytag cmapexpand halftone \
    chromatag tagtruecolor tagshow pageburst tagpoke ccitttag ccittpage noteinsert notelist
