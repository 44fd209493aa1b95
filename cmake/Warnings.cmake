add_compile_options(-Wall -Wextra)
if(DICTARO_WERROR)
  add_compile_options(-Werror)
endif()
