# Runs the Python suite once per interpreter the module was built for, with
# the firmware emulator preloaded. Each interpreter also gets a copy of the
# module that claims another compile-time version (2.6 for Python 2, 3.1 for
# Python 3), so the suite can watch the import-time version check fire.

set(PYTALLOWICK_SUITE_DIR ${CMAKE_CURRENT_LIST_DIR}/python)

# The call-counting library of test_call_counts.py. It replaces the heap
# functions, which a sanitizer's runtime must own: not in such a build.
if(NOT PYTALLOWICK_SANITIZE)
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/callcount)
  set(callcount_environment "PYTALLOWICK_CALLCOUNT_LIBRARY=$<TARGET_FILE:callcount>")
else()
  set(callcount_environment "PYTALLOWICK_CALLCOUNT_LIBRARY=")
endif()

foreach(tag IN LISTS PYTALLOWICK_FLAVOURS)
  set(exe "${PYTALLOWICK_${tag}_EXE}")
  set(folder "${PYTALLOWICK_${tag}_FOLDER}")
  set(mismatch_folder "${folder}-mismatch")
  if(PYTALLOWICK_${tag}_MAJOR EQUAL 2)
    set(claimed_minor 6)
  else()
    set(claimed_minor 1)
  endif()
  pytallowick_add_module(${PYTALLOWICK_${tag}_TARGET}_mismatch "${mismatch_folder}"
    "${PYTALLOWICK_${tag}_INCLUDE}" "${PYTALLOWICK_${tag}_SUFFIX}"
    PYT_BUILT_MAJOR=${PYTALLOWICK_${tag}_MAJOR} PYT_BUILT_MINOR=${claimed_minor})

  # A debug interpreter runs in development mode too: every API misuse and
  # lost reference that it can see fails the suite.
  set(interpreter_options "")
  if(PYTALLOWICK_${tag}_DEBUG)
    set(interpreter_options -X dev)
  endif()
  add_test(NAME python-${tag}
    COMMAND "${exe}" ${interpreter_options} -m unittest discover -s "${PYTALLOWICK_SUITE_DIR}" -t "${PYTALLOWICK_SUITE_DIR}" -v)
  set_tests_properties(python-${tag} PROPERTIES
    LABELS python
    ENVIRONMENT "LD_PRELOAD=$<TARGET_FILE:vcioemu>;VCIOEMU_LIBRARY=$<TARGET_FILE:vcioemu>;PYTHONPATH=${folder};PYTALLOWICK_MISMATCH_DIR=${mismatch_folder};PYTHONDONTWRITEBYTECODE=1;${callcount_environment}")
endforeach()

# `pip install .` of a copy of the source tree, under the two flavours' own
# interpreters, and the installed module used from outside the tree.
foreach(python IN ITEMS "${Python2_EXECUTABLE}" "${Python3_EXECUTABLE}")
  if(python)
    get_filename_component(python_name "${python}" NAME)
    add_test(NAME packaging-${python_name}
      COMMAND ${PROJECT_SOURCE_DIR}/tools/check-packaging "${python}" $<TARGET_FILE:vcioemu>)
    set_tests_properties(packaging-${python_name} PROPERTIES LABELS packaging)
  endif()
endforeach()

# The systemd units of examples/ and the Debian package's copies of them, read
# offline and, where systemd-analyze is installed, verified and rated by it.
# Needs no module: once, under the Python 3 flavour's interpreter.
if(Python3_EXECUTABLE)
  add_test(NAME units
    COMMAND "${Python3_EXECUTABLE}" -m unittest discover -s "${CMAKE_CURRENT_LIST_DIR}/units" -t "${CMAKE_CURRENT_LIST_DIR}/units" -v)
  set_tests_properties(units PROPERTIES LABELS units ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
endif()
