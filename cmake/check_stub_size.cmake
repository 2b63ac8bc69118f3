# Fails the build when the updater's executable part has outgrown the payload offset it was built for,
# less the RESERVED bytes of the signature and digest blocks at the end of its padding.
file(SIZE "${STUB}" stub_size)
math(EXPR room "${LIMIT} - ${RESERVED}")
if(stub_size GREATER room)
  file(REMOVE "${STUB}")
  message(FATAL_ERROR "${STUB} is ${stub_size} bytes, more than its payload offset ${LIMIT} less ${RESERVED}: "
                      "raise UPDATER_PAYLOAD_OFFSET (the executable has been removed)")
endif()
