# Fails the build when the updater's executable part has outgrown the payload offset it was built for.
file(SIZE "${STUB}" stub_size)
if(stub_size GREATER LIMIT)
  file(REMOVE "${STUB}")
  message(FATAL_ERROR "${STUB} is ${stub_size} bytes, more than its payload offset ${LIMIT}: "
                      "raise UPDATER_PAYLOAD_OFFSET (the executable has been removed)")
endif()
