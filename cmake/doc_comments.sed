# Doxygen input filter for the public headers: their comments are plain C comments, as readers
# of a header expect. A comment that opens a line documents what follows it; one that follows a
# member or a value on its line documents that member.
s|^\([[:space:]]*\)/\* |\1/** |
s|\([;,]\)\([[:space:]]*\)/\* |\1\2/**< |
s|^\(#define [A-Z0-9_]*[[:space:]]\{1,\}[^/]*\)/\* |\1/**< |
