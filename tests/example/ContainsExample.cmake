# Fails unless README contains the text of EXAMPLE verbatim.
file(READ "${README}" readme)
file(READ "${EXAMPLE}" example)
string(FIND "${readme}" "${example}" position)
if(position EQUAL -1)
  message(FATAL_ERROR "README.md does not show ${EXAMPLE} as it is; copy the file into its example block")
endif()
