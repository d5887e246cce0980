# Project-wide warning flags; -Werror is on unless VORLANE_WERROR is switched off.
add_compile_options(-Wall -Wextra)
if(VORLANE_WERROR)
    add_compile_options(-Werror)
endif()
