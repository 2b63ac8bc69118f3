# The key an updater's build trusts (cmake -DUPDATER_TRUSTED_KEY=vendor.pub): a P-256 public key in
# PEM, pinned into the stub and the page, which then refuse a file not signed by it.
set(UPDATER_TRUSTED_KEY "" CACHE FILEPATH "P-256 public key (PEM) the updater and the page trust; empty: none")

# Sets out to the PEM text of the key file at path with its line ends as "\n", ready for a C++ or
# JavaScript string; empty for an empty path. The key's form is judged where it is used; here only
# that the file is a PEM public key, so that nothing else ends up in a string.
function(trusted_key_text path out)
  set(text "")
  if(path)
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "trusted key ${path}: no such file")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
    file(READ "${path}" pem)
    string(REPLACE "\r" "" pem "${pem}")
    string(STRIP "${pem}" pem)
    if(NOT pem MATCHES "^-----BEGIN PUBLIC KEY-----\n[A-Za-z0-9+/=\n]+\n-----END PUBLIC KEY-----$")
      message(FATAL_ERROR "trusted key ${path}: not a PEM public key (-----BEGIN PUBLIC KEY-----)")
    endif()
    string(REPLACE "\n" "\\n" text "${pem}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

trusted_key_text("${UPDATER_TRUSTED_KEY}" TRUSTED_KEY_TEXT)
