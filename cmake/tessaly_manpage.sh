#!/bin/sh
# Writes the man page tessaly(1) from the built host's own texts: `tessaly --help`
# and `tessaly COMMAND --help` for every command that --help lists, so the page
# and the help cannot say different things. The help's paragraphs become the
# page's sections: the usage lines SYNOPSIS, the line after them NAME and
# DESCRIPTION, each "heading:" paragraph a section of its own ("commands:" with
# every command's help after the list), "Heading: text" a section of the text.
# The date is SOURCE_DATE_EPOCH's when it is set (release builds), else today's.
#
# usage: tessaly_manpage.sh TESSALY VERSION OUTPUT
set -eu
host=$1 version=$2 out=$3
date=$(date -u ${SOURCE_DATE_EPOCH:+-d "@$SOURCE_DATE_EPOCH"} +%Y-%m-%d)
"$host" --help >"$out.help"
awk -v host="$host" -v version="$version" -v date="$date" '
# Text as roff shows it: backslashes and minus signs escaped, no line read as a request.
function roff(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    if (s ~ /^[.\047]/) s = "\\&" s
    return s
}
function verbatim(from,    i) {
    print ".nf"
    for (i = from; i <= n; i++) print roff(line[i])
    print ".fi"
}
function command_help(name,    command, text, got) {
    print ".SS " roff(name)
    print ".nf"
    got = 0
    command = "\047" host "\047 " name " --help"
    while ((command | getline text) > 0) { print roff(text); got = 1 }
    close(command)
    print ".fi"
    if (!got) { print "tessaly_manpage.sh: no help from tessaly " name " --help" > "/dev/stderr"; failed = 1 }
}
function paragraph(    i, heading, words) {
    if (n == 0) return
    count++
    if (count == 1) {
        synopsis = ""
        for (i = 1; i <= n; i++) { sub(/^usage: */, "", line[i]); sub(/^ */, "", line[i]); synopsis = synopsis roff(line[i]) "\n" }
    } else if (count == 2) {
        summary = line[1]
        sub(/\.$/, "", summary)
        print ".SH NAME"
        print "tessaly \\- " roff(tolower(substr(summary, 1, 1)) substr(summary, 2))
        printf ".SH SYNOPSIS\n.nf\n%s.fi\n", synopsis
        print ".SH DESCRIPTION"
        for (i = 1; i <= n; i++) print roff(line[i])
    } else if (line[1] ~ /^[A-Za-z][A-Za-z ]*:$/) {
        heading = line[1]
        sub(/:$/, "", heading)
        print ".SH " roff(toupper(heading))
        verbatim(2)
        if (heading == "commands")
            for (i = 2; i <= n; i++)
                if (split(line[i], words, " ") > 0 && line[i] ~ /^  [a-z]/) command_help(words[1])
    } else if (match(line[1], /^[A-Z][A-Za-z ]*: /)) {
        print ".SH " roff(toupper(substr(line[1], 1, RLENGTH - 2)))
        line[1] = substr(line[1], RLENGTH + 1)
        for (i = 1; i <= n; i++) print roff(line[i])
    } else {
        print ".PP"
        verbatim(1)
    }
    n = 0
}
BEGIN {
    print ".\\\" tessaly(1), made from tessaly --help and each tessaly COMMAND --help by"
    print ".\\\" cmake/tessaly_manpage.sh: change those texts, not this file."
    print ".TH TESSALY 1 \"" date "\" \"Tessaly " version "\" \"User Commands\""
    print ".nh"
    print ".ad l"
}
/^$/ { paragraph(); next }
{ line[++n] = $0 }
END {
    paragraph()
    print ".SH FILES"
    print "The plug-in loaded when neither \\-\\-plugin nor TESSALY_PLUGIN names one: Tessaly.so beside"
    print "tessaly, else ../lib/tessaly/Tessaly.so from its folder (the installed layout)."
    exit failed
}
' "$out.help" >"$out.part"
rm -f "$out.help"
mv "$out.part" "$out"
