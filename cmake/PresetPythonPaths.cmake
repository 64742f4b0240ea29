# Included before the project by the presets of CMakePresets.json: when no
# pybind11_DIR is given, ask the chosen interpreter where its pybind11 keeps
# its CMake files, as scripts/test.sh does on the command line.
if(NOT pybind11_DIR AND Python_EXECUTABLE)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -m pybind11 --cmakedir
    OUTPUT_VARIABLE torvi_pybind11_dir
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE torvi_pybind11_status)
  if(torvi_pybind11_status EQUAL 0 AND torvi_pybind11_dir)
    set(pybind11_DIR "${torvi_pybind11_dir}" CACHE PATH "pybind11's CMake package directory")
  endif()
endif()
