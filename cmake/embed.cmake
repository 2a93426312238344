# Writes the bytes of a file as a NUL-terminated C++ array, so that a text file of its own (a
# script, a style sheet) is compiled into a library.
#   cmake -DINPUT=app.js -DOUTPUT=app_js.cpp -DNAMESPACE=ns -DSYMBOL=kName -P embed.cmake
file(READ "${INPUT}" bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
string(REGEX REPLACE "(('[^']*',){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; edit that file.\nnamespace ${NAMESPACE} {\n"
  "extern const char ${SYMBOL}[];\nconst char ${SYMBOL}[] = {\n${bytes}'\\0'};\n}\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
