# The LV2 plug-ins in real hosts, label "hosts": jalv on its own JACK server, and Ardour 7
# headless through a session saved and loaded again. Each script checks the latency the host
# shows against `tessel latency` and exits 77 (skipped) when its host is not installed. Both
# load the machine for seconds at a time, so they take one lock and run one after the other. A
# host cannot load a module built with a sanitizer: only plain builds register them.
if(NOT TESSEL_SANITIZE AND NOT TESSEL_THREAD_SANITIZE)
    set(_tessel_hosts ${CMAKE_CURRENT_LIST_DIR}/hosts)
    add_test(NAME lv2_host_jalv
        COMMAND bash ${_tessel_hosts}/jalv-test.sh ${CMAKE_BINARY_DIR}/lv2 $<TARGET_FILE:tessel>)
    add_test(NAME lv2_host_ardour
        COMMAND bash ${_tessel_hosts}/ardour-test.sh ${CMAKE_BINARY_DIR}/lv2 $<TARGET_FILE:tessel>)
    set_tests_properties(lv2_host_jalv lv2_host_ardour PROPERTIES
        LABELS hosts TIMEOUT 300 RESOURCE_LOCK lv2_hosts SKIP_RETURN_CODE 77)
    unset(_tessel_hosts)
endif()
