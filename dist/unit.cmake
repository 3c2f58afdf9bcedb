# ombru_installed_unit(SRC OUT BINDIR): the user unit as installed. The
# program is where this install put it, and the comment on linking the unit
# from a source tree is left out.
function(ombru_installed_unit src out bindir)
  file(READ "${src}" text)
  string(REGEX REPLACE "^(#[^\n]*\n)+" "" text "${text}")
  string(REPLACE "%h/.local/bin/ombru-dev-daemon" "${bindir}/ombru-dev-daemon" text "${text}")
  string(FIND "${text}" "ExecStart=${bindir}/ombru-dev-daemon " at)
  if(at LESS 0)
    message(FATAL_ERROR "${src}: no ExecStart line for ombru-dev-daemon")
  endif()
  file(WRITE "${out}" "${text}")
endfunction()
