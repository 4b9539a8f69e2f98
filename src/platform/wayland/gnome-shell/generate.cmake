# cmake -DACTIVITY=<activity.js> -DTEMPLATE=<extension-*.js.in> -DMETADATA=<metadata.json.in> -DUUID=<uuid>
#       -DSHELL_VERSIONS=<"43", …> -DOUTPUT=<folder>
# Writes one extension folder: the shared activity code inside its format's wrapper, and its metadata.
file(READ ${ACTIVITY} ACTIVITY)
configure_file(${TEMPLATE} ${OUTPUT}/extension.js @ONLY)
configure_file(${METADATA} ${OUTPUT}/metadata.json @ONLY)
