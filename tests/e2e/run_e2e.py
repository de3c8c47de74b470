#!/usr/bin/python3
"""End-to-end runs of korvalen, alone and against real Modbus RTU-over-TCP peers (slave.py).
Usage: run_e2e.py KORVALEN [NAME-PART]. Each run must exit with 10, print nothing on standard
error and print exactly its transcript (transcripts/NAME.txt) with the build stamp and the TCP
port masked; there "@@STACK@@" stands for whatever the serial driver prints. With
KORVALEN_EMULATOR set (wine), KORVALEN.exe runs through it: every line must end in CR LF
(Windows' text mode), and is compared with that mapping undone; Ctrl-C stands for SIGTERM.
Rows run four at a time; every process is stopped by its PID, every wait is bounded."""

import csv, datetime, io, json, os, re, select, shutil, signal, socket, struct, subprocess
import sys, tempfile, time
from concurrent.futures import ThreadPoolExecutor

from slave import ORDERS, TYPED, TYPED_AT, words
from windows import RUN, EmulatorFault, emulator_fault, lf_lines, once_more

HERE = os.path.dirname(os.path.abspath(__file__))
TMP = tempfile.mkdtemp(prefix="korvalen-e2e-")
# korvalen runs here, where COM1, COM2 and comnowhere are links to nothing: a row that names a
# serial port finds none, and no row opens one of this machine's own.
for name in ("COM1", "COM2", "comnowhere"):
    os.symlink("/nonexistent/" + name, os.path.join(TMP, name))
BANNER = re.compile(rb"^KORVALEN v1\.5:  Compiled at [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
                    rb"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n")
# A row: name, peer (slave.py's mode and options, or slave: korvalen-slave's), korvalen's arguments ({sk}: the client option
# for the peer, or a port nobody listens on; {port}: a free one), checks: "transcript" names
# another file, "gaps" lists (text or None for the start, later text, least s, most s), "signal"
# is (text, signal): sent once the text is out (None: once the peer has a request); any other
# key is the peer's store or count afterwards ({key: count, or (first, values)}); "text" is the
# transcript itself.
# The identity lines of slave.py's 43 answers, as a scan's record joins them.
IDENT = ("Conformity level: 83; VendorName: Acme Ltd; ProductCode: PM-7; MajorMinorRevision: 2.1; "
         "VendorUrl: http://127.0.0.1/; ProductName: Meter\\x01; ModelName: M7")
CASES = [
    ("no_arguments", "", ""),
    ("usage_on_question_mark", "", "-?", {"transcript": "usage"}),
    ("usage_on_help_word", "", "-HELP", {"transcript": "usage"}),
    ("invalid_option", "", "-XYZ"),
    ("invalid_then_run", "", "-XYZ -Q"),
    ("function_letter_unknown", "", "-FNX -XYZ"),
    ("baud_without_digits", "", "-BAUD -XYZ"),
    ("requests_70000", "", "-RQ70000 -XYZ"),
    ("requests_40000", "", "-RQ40000 -XYZ"),
    ("timeout_separate_value", "", "-RT 2000 -XYZ"),
    ("bad_startreg", "", "-SRabc"),
    ("bad_startreg_not_run", "", "-SRabc -XYZ"),
    ("slash_prefix_and_lower_case", "", "/ID7 -com1 -XYZ", {"transcript": "silent_options"}),
    ("too_many_values", "", "1 " * 2001 + "-XYZ"),
    ("two_thousand_values_fit_silently", "", "7 " * 2000 + "-XYZ"),
    ("empty_function_is_refused", "", "-FN"),
    ("startreg_65537_is_refused", "", "-SR465537"),
    ("startreg_number_0_is_refused", "", "-SR400000"),
    ("startreg_type_2_is_refused", "", "-SR200001"),
    ("port_text_of_100_is_refused", "", "-COM" + "A" * 97),
    ("port_text_of_99_is_taken", "", "-COM" + "A" * 96),
    ("com_comes_before_baud", "", "-com1"),
    # Windows names know no case: the row is Linux's alone.
    ("link_named_as_typed_is_found", "", "-comnowhere", {"native": True}),
    ("host_that_is_no_address_connects_nothing", "", "-COM/"),
    # Forms the resolver reads as addresses (each 127.0.0.1 there): refused, never looked up.
    ("address_missing_an_octet_is_refused", "", "-SK127.0.1/{port}"),
    ("address_with_a_leading_zero_is_refused", "", "-SK0177.0.0.1/{port}"),
    ("address_in_hex_is_refused", "", "-SK0x7f.0.0.1/{port}"),
    ("address_as_one_number_is_refused", "", "-SK2130706433/{port}"),
    ("refused_connect", "", "{sk}"),
    ("host_name_is_looked_up", "serve", "-SKlocalhost/{port} -RQ1"),
    ("host_not_found_is_named", "", "-SKplc9/{port} -ESON", {"hosts": "plc1=127.0.0.1",
                                                           "status": 3}),
    # A name is looked up only for a port that is one.
    ("host_with_port_0_is_not_looked_up", "", "-SKplc1/0", {"hosts": "plc1=127.0.0.1"}),
    ("host_with_port_65536_is_not_looked_up", "", "-SKplc1/65536", {"hosts": "plc1=127.0.0.1"}),
    ("quiet_errors_and_records_keep_their_own_lines", "raw --sessions 1 --reset",
     "{sk} -RQ3 -TROFF -OFCSV -RT300", {"merged": True}),
    # records and text in one stream (2>&1): each record a whole line of its own
    ("records_keep_their_lines_beside_text", "serve", "{sk} -RQ3 -TD0 -OFCSV -SR400001",
     {"merged": True}),
    ("read_holding", "serve", "{sk} -SR400002"),
    ("read_input_registers_fc4", "serve", "{sk} -SR300001 -NR5"),
    ("read_coils_fc1", "serve", "{sk} -SR000001 -NR10"),
    ("read_discrete_inputs_fc2", "serve", "{sk} -SR100002 -NR4"),
    ("exception_reply", "serve", "{sk} -SR400031 -NR1"),
    ("client_port_text_is_read_up_to_its_digits", "serve", "{sk}/x -SR400001 -NR1"),
    ("startreg_65536_is_the_last", "serve", "{sk} -SR465536 -NR1"),
    ("startreg_takes_five_digits", "serve", "{sk} -SR4000021 -NR1"),
    ("slave_id_keeps_low_8_bits", "serve", "{sk} -ID356 -SR400001 -NR1"),
    ("register_count_after_a_value_wins", "serve", "{sk} -SR400001 5 -NR2"),
    ("a_value_makes_a_read_of_one_register", "serve", "{sk} -NR5 -SR400001 7 -PKOFF"),
    ("function_letter_r_is_read", "serve", "{sk} -FN16 -FNr -SR400001 -NR1"),
    ("packet_dump_half_word_changes_nothing", "serve", "{sk} -PKOFF -PKO -SR400001 -NR1"),
    ("register_dump_on_takes_any_tail", "serve", "{sk} -RDOFF -RDONX -SR400001 -NR1"),
    ("rdoff_drops_register_lines", "serve", "{sk} -RDOFF"),
    ("pkoff_silences_link_trace", "serve", "{sk} -PKOFF -SR400003 -NR2"),
    ("write_registers", "serve", "{sk} -FNWRITE -SR400006 111 222 333",
     {"hr": (5, [111, 222, 333])}),
    ("write_fn16", "serve", "{sk} -FN16 -SR400009 4 65535", {"hr": (8, [4, 65535])}),
    ("write_fn6", "serve", "{sk} -FN6 -SR400010 4321", {"hr": (9, [4321])}),
    ("write_fn5_sets_coil", "serve", "{sk} -FN5 -SR000005 7", {"co": (3, [1, 1, 0])}),
    ("write_fn5_clears_coil", "serve", "{sk} -FN5 -SR000001 0", {"co": (0, [0, 0, 1])}),
    ("write_fn15", "serve", "{sk} -FN15 -SR000011 1 ON 0 on oFF", {"co": (10, [1, 1, 0, 1, 0, 0])}),
    ("write_input_registers_refused", "serve", "{sk} -FNWRITE -SR300001 5 -RQ2", {"requests": 0}),
    ("write_hex_gives_the_bits", "serve", "{sk} -FN6 -DTINT16 -SR400001 0xFFFF -PKOFF",
     {"hr": (0, [65535, 2])}),
    ("value_after_register_count_writes_one", "serve", "{sk} -NR10 -FN16 -SR400001 5",
     {"hr": (0, [5, 2])}),
    ("write_of_123_registers_fills_the_frame", "serve", "{sk} -FNWRITE -SR400001" + " 1" * 123),
    ("write_of_124_registers_is_refused", "serve", "{sk} -FNWRITE -SR400001" + " 1" * 124,
     {"requests": 0}),
    ("write_of_1968_coils_is_sent", "serve", "{sk} -FN15 -SR000001 -PKOFF" + " 1" * 1968,
     {"requests": 1}),
    # A write goes out as typed or not at all: the peer sees no connection; -ESON says 4.
    *[(name, "serve", "{sk} -ESON " + args, {"status": 4, "connections": 0}) for name, args in (
        ("write_refused_after_an_invalid_option", "-FNWRITE -DTFLOAT32 1.5 -inf 2.5"),
        ("write_refused_on_an_unknown_type", "-FNWRITE -DTFLAOT32 229.87"),
        ("write_refused_on_an_unknown_order", "-FNWRITE -DTINT32 -WOABDC 7"),
        ("write_refused_on_an_unknown_function_letter", "-FNWRITE -FNX 7"),
        ("write_refused_on_a_function_of_9_bits", "-FN262 7"),
        ("write_refused_on_a_bad_line_format", "-LF8X1 -FN6 7"),
        ("write_refused_on_a_bad_packet_dump_value", "-PKYES -FN6 7"),
        ("write_refused_on_a_bad_listen_address", "-LA1.2.3 -FN6 7"),
        ("write_refused_on_a_bad_start_register", "-SR4000A1 -FN6 7"),
        ("write_refused_on_a_usage_request", "-? -FNWRITE 99"),
        ("write_refused_on_a_unit_in_its_own_argument", "-ID 5 -FNWRITE 7"),
        ("write_refused_on_a_unit_past_255", "-ID256 -FN6 7"),
        ("write_refused_on_a_unit_with_letters", "-ID5X -FN6 7"),
        ("write_refused_on_a_timeout_in_its_own_argument", "-RT 2000 -FNWRITE 5"),
        ("write_refused_without_values", "-FN16"),
        ("write_refused_past_16_bits", "-FNWRITE -SR400001 65535 65536"),
        ("write_refused_on_more_values_than_fn6_takes", "-FN6 1 2"),
        ("write_refused_on_1969_coils", "-FN15 -SR000001" + " 1" * 1969),
        ("write_refused_past_register_65536", "-DTFLOAT32 -SR465536 -FNWRITE 1.5"),
        ("eson_read_refused_on_an_invalid_option_not_last", "-XYZ -Q"),
        ("eson_read_refused_on_an_unknown_output_format", "-OFXML"),
        ("eson_read_refused_on_a_unit_past_255", "-ID300"),
        ("eson_read_refused_on_a_unit_list_with_a_repeat", "-ID100,101-102,101"),
        ("eson_read_refused_on_a_poll_period_of_0", "-POLL0"),
        ("scan_refused_on_a_bad_range", "-SCAN5-3"),
        ("scan_sweep_refused_on_a_tcp_port", "-SCAN1-3 -SWEEP"))],
    # Several units polled in turn, each line, record and count naming its unit.
    ("units_polled_in_turn_and_counted_each", "serve",
     "{sk} -ID101,100 -RQ2 -TD0 -PKOFF -SR400001 -NR1 -STON", {"requests": 4}),
    ("write_refused_without_eson_is_status_10", "serve", "{sk} -FNWRITE -WOX 5",
     {"connections": 0}),
    ("help_word_ends_before_a_write", "serve", "{sk} -FNWRITE 99 --help",
     {"transcript": "help", "connections": 0}),
    ("write_refused_on_unit_248_on_a_serial_port", "", "-COM1 -ID248 -FN6 5"),
    ("write_to_register_65536_is_sent", "serve", "{sk} -FN6 -SR465536 5"),
    # No slave answers a broadcast: no wait for one, only the pause in which slaves apply it.
    ("broadcast_write_is_not_awaited", "raw", "{sk} -ID00 -FN6 -SR400001 5 -ESON -STON -TD400",
     {"status": 0, "requests": 1,
      "gaps": [("Broadcast: no reply awaited.", "\nExiting.", 0.35, 1.5)]}),
    ("five_requests_one_connection", "serve", "{sk} -RQ5 -TD0 -SR400001 -NR2",
     {"requests": 5, "connections": 1}),
    ("rq0_opens_and_sends_nothing", "serve", "{sk} -RQ0", {"requests": 0, "connections": 1}),
    # The 100 ms spacing counts from the open; then the 300 ms time-out; twice.
    ("silent_peer_times_out_twice", "slave -FAULTDROP", "{sk} -RT300 -RQ2",
     {"gaps": [("\nBuilding request", "\n\rReceive error = 0", 0.37, 0.9),
               (None, "\nExiting.", 0.55, 3.0)]}),
    ("reply_split_four_three_is_joined", "slave -FAULTSPLIT=2/80", "{sk} -SR400001 -NR1"),
    ("reply_split_three_two_two_is_joined", "slave -FAULTSPLIT=3/80", "{sk} -SR400001 -NR1"),
    ("reply_split_six_five_reads_on", "slave -FAULTSPLIT=2/80 -SR400001 1 2 65535",
     "{sk} -SR400001 -NR3"),
    ("noise_byte_before_reply_is_dropped", "raw --prefix 55", "{sk} -SR400001 -NR1 -FN6 4321"),
    ("two_replies_keep_the_second", "raw --prefix 6403020009344a", "{sk} -SR400001 -NR1"),
    ("glitch_byte_before_a_long_reply_is_dropped", "raw --prefix 55", "{sk} -SR400001 -NR3"),
    ("stray_bytes_after_a_reply_are_dropped", "raw --suffix 123456", "{sk} -SR400001 -NR3 -RT300"),
    ("client_rebuilds_after_close_mid_frame", "raw --truncate-first 4", "{sk} -SR400001 -NR1 -RQ2",
     {"connections": 2, "requests": 1}),
    ("server_channel_read", "connect", "-SK/{port} -SR400002 -NR2", {"requests": 1}),
    ("server_channel_on_one_address", "connect", "-SK/{port} -LA127.0.0.1 -SR400002 -NR2",
     {"requests": 1}),
    ("listen_address_echoes_and_a_bad_one_is_named", "", "-la127.0.0.1 /LA1.2.3 -XYZ"),
    ("server_channel_write", "connect", "-SK/{port} -FNWRITE -SR400002 9 65527 -RQ2 -TD0",
     {"hr": (1, [9, 65527])}),
    ("server_channel_rebuilds", "connect --sessions 1,0", "-SK/{port} -RQ3 -SR400001 -NR1",
     {"requests": 2}),
    # A rebuilt connection keeps -RT: the silent second one is waited on for 1 s, not 200 ms.
    ("rebuilt_channel_keeps_its_timeout", "raw --truncate-first 4 --sessions 0,-1",
     "{sk} -SR400001 -NR1 -RQ2 -RT1000 -TD0 -PKOFF",
     {"gaps": [("\nSending request #2", "\nExiting.", 0.95, 3.0)], "connections": 2}),
    ("reset_between_requests_rebuilds_on_send", "raw --sessions 1,0 --reset",
     "{sk} -SR400001 -NR1 -RQ3 -TD300", {"requests": 2, "connections": 2}),
    # Requests go at about 0, 1, 2 and 3 s and the listener is away from 0 to 2.5 s: half a
    # second either side, so a loaded machine still puts #2 and #3 in the gap and #4 after it.
    ("rebooted_slave_is_picked_up_again", "raw --sessions 1,0 --down 2.5",
     "{sk} -SR400001 -NR1 -RQ4 -RT500 -TD1000 -PKOFF", {"requests": 2, "connections": 2}),
    ("negative_timings_act_as_zero", "serve", "{sk} -RT-1 -TD-1 -RQ2 -PKOFF -RDOFF",
     {"requests": 2}),
    ("interrupt_ends_the_accept", "", "-SK/{port}", {"signal": ("Port == ", signal.SIGINT)}),
    ("interrupt_ends_the_read", "slave -FAULTDROP", "{sk} -RT60000 -RQ3 -TD0",
     {"signal": (None, signal.SIGTERM)}),
    # A stop in the pause before a request ends the run before it: nothing sent or counted. The
    # reply's last line comes out only as the pause begins.
    ("interrupt_ends_the_pacing", "serve", "{sk} -RQ200 -TD1500 -PKOFF -RDOFF -STON",
     {"signal": ("#regs = 3", signal.SIGINT), "requests": 1}),
    ("line_format_echoes_in_every_form", "", "-lf8n2 /LF7E1 -LF8O1 -L -LX -XYZ"),
    ("framing_echoes_in_every_form", "", "-frtcp /FRrtu -FRX -FR -XYZ"),
    ("modbus_tcp_read_holding", "serve --mbap", "{sk} -FRTCP -SR400002"),
    ("modbus_tcp_read_coils", "serve --mbap", "{sk} -FRTCP -SR000001 -NR10 -PKOFF"),
    ("modbus_tcp_writes_fn16", "serve --mbap", "{sk} -FRTCP -FN16 -SR400009 4 65535 -PKOFF",
     {"hr": (8, [4, 65535])}),
    ("modbus_tcp_exception_reply", "serve --mbap", "{sk} -FRTCP -SR400031 -NR1 -PKOFF"),
    ("modbus_tcp_unknown_unit_times_out", "serve --mbap", "{sk} -FRTCP -ID7 -RT300 -PKOFF"),
    ("modbus_tcp_requests_share_one_connection", "serve --mbap",
     "{sk} -FRTCP -RQ5 -TD0 -PKOFF -RDOFF", {"requests": 5, "connections": 1}),
    ("modbus_tcp_libmodbus_server_reads", "libmodbus", "{sk} -FRTCP -RQ2 -TD0"),
    ("modbus_tcp_libmodbus_server_exception", "libmodbus", "{sk} -FRTCP -SR400101 -NR1 -PKOFF"),
    ("modbus_tcp_unit_0_is_answered_by_a_device", "libmodbus", "{sk} -FRTCP -ID0 -PKOFF -RDOFF"),
    ("modbus_tcp_unit_255_is_answered_by_a_device", "libmodbus",
     "{sk} -FRTCP -ID255 -PKOFF -RDOFF"),
    ("modbus_tcp_late_reply_is_dropped", "raw --mbap --stale", "{sk} -FRTCP -SR400001 -NR1"),
    ("modbus_tcp_reply_dripped_a_byte_at_a_time", "slave -FRTCP -FAULTSPLIT=11/40",
     "{sk} -FRTCP -SR400001 -NR1"),
    ("modbus_tcp_protocol_1_rebuilds_before_the_next", "raw --mbap --header 000100010005",
     "{sk} -FRTCP -SR400001 -NR1 -RQ2 -TD0", {"connections": 2}),
    ("modbus_tcp_length_0_is_out_of_step", "raw --mbap --header 000100000000",
     "{sk} -FRTCP -SR400001 -NR1"),
    ("modbus_tcp_length_300_is_out_of_step", "raw --mbap --header 00010000012c",
     "{sk} -FRTCP -SR400001 -NR1"),
    ("line_format_bad_value_still_runs", "", "-LF9X1 -COMNOWHERE"),
    ("help_in_any_case_is_usage_and_extensions", "", "--hElp", {"transcript": "help"}),
    ("version_prints_the_banner_alone", "", "-SR1 -OFCSV --Version", {"status": 0}),
    ("new_options_echo_and_name_bad_values", "", "-stON /ESoff -OFtext -STx -ESY -OFXML -XYZ"),
    # -ESON: each status against a real peer, or none where the run never reaches one.
    ("all_answered_is_status_0_in_csv", "serve", "{sk} -OFCSV -ESON -RQ2 -TD0 -SR400001",
     {"status": 0, "records": [(3, "ok", [1, 2, 65535])] * 2}),
    ("typed_values_in_records", "serve", "{sk} -OFJSON -DTUINT32 -NR2 -SR400001",
     {"records": [(3, "ok", [1 << 16 | 2, 65535 << 16 | 32768])]}),
    ("hex_values_in_records_are_strings", "serve", "{sk} -OFJSON -DTHEX -NR2 -SR400001",
     {"records": [(3, "ok", ["0x0001", "0x0002"])]}),
    # A STRING is its text without quotes: JSON's escapes in JSON, the printed ones in CSV.
    *[("string_record_in_" + f.lower(), "serve", "{sk} -OF%s -ID101 -DTSTRING -NR5 -SR4%05d -PKOFF"
       % (f, TYPED_AT["STRING"] + 1), {"records": [(3, "ok", [v])]}) for f, v in (
        ("JSON", 'SN "7"\\\x01\x7f\x00'), ("CSV", r'SN \"7\"\\\x01\x7f\x00'))],
    ("json_64_bit_values_are_exact_strings", "serve", "{sk} -OFJSON -ID101 -DTUINT64 -NR1 -SR4%05d"
     % (TYPED_AT["UINT64", "ABCD"] + 1), {"records": [(3, "ok", ["18446744073709551615"])]}),
    # A quiet run: the records and the summary alone; in text, the register lines alone.
    ("quiet_records_and_summary", "serve", "{sk} -OFCSV -TROFF -STON -RQ2 -TD0 -SR400001",
     {"records": [(3, "ok", [1, 2, 65535])] * 2}),
    ("quiet_text_is_the_register_lines", "serve", "{sk} -TROFF -PKON -SR400001 -NR2"),
    ("exception_is_status_1", "serve", "{sk} -SR400031 -NR1 -ESON -STON -PKOFF", {"status": 1}),
    ("each_result_in_json_and_status_2", "raw --pattern a,e,s,g,f",
     "{sk} -OFjson -ESON -RQ5 -TD0 -RT300 -SR400002 -NR2",
     {"status": 2, "records": [(3, "ok", [2, 65535]), (3, "exception 2", []),
                               (3, "time-out", []), (3, "bad frame", []), (3, "bad frame", [])]}),
    ("summary_counts_a_known_pattern", "raw --pattern a,s,g,e,a,f,a",
     "{sk} -RQ7 -TD0 -RT300 -STON -PKOFF -RDOFF"),
    # A reply that does not answer its request is a bad frame, in either framing; a run goes on,
    # and a write's next request sends its values as typed.
    ("read_answered_by_another_function_is_a_bad_frame", "raw --pattern w,a --answer 04020007",
     "{sk} -RQ2 -TD0 -SR400001 -NR1 -ESON -STON", {"status": 2}),
    ("write_answered_by_a_read_is_a_bad_frame", "raw --mbap --pattern w,a --answer 03020007",
     "{sk} -FRTCP -FN16 -SR400001 5 8 9 -RQ2 -TD0 -OFJSON -ESON",
     {"status": 2, "records": [(16, "bad frame", []), (16, "ok", [5, 8, 9])],
      "hr": (0, [5, 8, 9])}),
    ("float32_in_three_registers_is_a_bad_frame", "raw --mbap --pattern w --answer 0306" + "00" * 6,
     "{sk} -FRTCP -DTFLOAT32 -NR2 -SR400001"),
    ("fn43_of_another_mei_type_is_a_bad_frame", "raw --mbap --pattern w --answer 2b0d0201000000",
     "{sk} -FRTCP -FN43"),
    ("transmit_failures_in_csv_and_summary", "serve", "{sk} -FNWRITE -SR300001 5 -RQ2 -OFCSV -STON",
     {"records": [(0, "transmit failed", [])] * 2, "requests": 0}),
    ("rebuilds_and_transmit_failure_counted", "raw --sessions 1,0 --down 2.5",
     "{sk} -SR400001 -NR1 -RQ4 -RT500 -TD1000 -PKOFF -STON"),
    ("refused_connect_is_status_3", "", "{sk} -ESON", {"status": 3}),
    ("invalid_option_is_status_4", "", "-ESON --helpx --VERSIONS", {"status": 4}),
    ("bad_startreg_is_status_4", "", "-ESON -SRabc", {"status": 4}),
    ("unsupported_function_is_status_4", "", "-ESON -FN9", {"status": 4}),
    ("interrupt_is_status_5_with_summary", "slave -FAULTDROP", "{sk} -RT60000 -RQ3 -TD0 -ESON -STON",
     {"signal": (None, signal.SIGTERM), "status": 5}),
    ("typed_options_echo_in_every_form", "", "-DTBAD -WOXY -dtfloat -woCdab -XYZ"),
    # a bad type keeps the one before it
    ("typed_read_past_one_request_is_refused", "", "-DTFLOAT64 -DTINT -NR32"),
    ("typed_read_of_no_value_is_refused", "", "-DTFLOAT32 -NR0"),
    ("typed_read_of_125_registers_is_sent", "serve", "{sk} -PKOFF -RDOFF -ID101 -DTHEX -NR125"),
    ("typed_value_outside_its_type_is_refused", "", "-DTUINT16 -FNWRITE 1 70000"),
    ("typed_write_past_one_request_is_refused", "", "-DTFLOAT64 -FNWRITE" + " -1.5" * 31),
    ("typed_write_of_123_registers_is_sent", "serve", "{sk} -PKOFF -RDOFF -ID101 -DTHEX -FNWRITE "
     "-SR400001" + " 0x7" * 123, {"u101": (0, [7] * 123)}),
    ("typed_write_of_one_register_is_refused", "", "-DTFLOAT32 -FN6 1"),
    ("typed_all_only_reads", "", "-DTALL -FNWRITE 1"),
    ("typed_on_coils_reads_bits", "serve", "{sk} -PKOFF -DTFLOAT32 -SR000001 -NR3"),
    ("typed_all_table", "serve", "{sk} -PKOFF -ID101 -DTALL -SR4%05d -NR3" %
     (TYPED_AT["FLOAT32", "CDAB"] + 1)),
    ("typed_string_read", "serve", "{sk} -PKOFF -ID101 -NR5 -DTSTRING -SR4%05d" %
     (TYPED_AT["STRING"] + 1)),
    ("typed_string_write_keeps_its_case", "serve", "{sk} -PKOFF -ID101 -DTSTRING -FNWRITE -SR4%05d "
     "Kv-17" % (TYPED_AT["WRITE"] + 1), {"u101": (TYPED_AT["WRITE"], [0x4b76, 0x2d31, 0x3700])}),
    ("negative_int16_is_a_value", "serve", "{sk} -PKOFF -FN6 -SR400010 -5", {"hr": (9, [65531])}),
    # Identity: pymodbus sends its own layout of 17, whole; libmodbus 17 as most do, 43 refused.
    ("fn17_server_id_and_run_indicator_alone", "raw", "{sk} -FN17 -PKOFF"),
    ("fn17_pymodbus_server_id_data_shown_whole", "serve", "{sk} -FN17"),
    ("fn43_pymodbus_basic_and_regular_objects", "serve --mbap", "{sk} -FRTCP -FN43 -PKOFF"),
    ("fn17_libmodbus_server_id_run_and_data", "libmodbus", "{sk} -FRTCP -FN17 -PKOFF"),
    ("fn43_libmodbus_refused_is_not_supported", "libmodbus", "{sk} -FRTCP -FN43 -PKOFF -ESON",
     {"status": 1}),
    # What came is kept and what was cut is said; extended and private objects are asked and
    # shown, a backslash escaped; a server id count short of its data is a bad reply.
    ("fn43_chain_cut_short_keeps_what_came", "raw --mbap --pdus 2b0e0281ff010100024163,-",
     "{sk} -FRTCP -FN43 -PKOFF -RT300"),
    ("fn43_extended_and_private_objects_shown", "raw --mbap --pdus 2b0e0283000002000241630701"
     "78,2b0e03830000028005615c78303081020102", "{sk} -FRTCP -FN43 -PKOFF"),
    ("fn17_count_short_of_its_data_is_a_bad_reply", "raw --mbap --pdus 1102b4ff4c",
     "{sk} -FRTCP -FN17 -PKOFF"),
    ("fn17_exception_2_prints_its_code", "raw --mbap --pdus 9102", "{sk} -FRTCP -FN17 -PKOFF"),
    # Functions 7, 8 and 24 from pymodbus, 22 and 23 from libmodbus; -PDU as typed, either way.
    ("fn7_pymodbus_status_byte_and_bits", "serve --mbap", "{sk} -FRTCP -FN7 -PKOFF -ESON",
     {"status": 0}),
    ("fn8_pymodbus_echo", "serve", "{sk} -FN8 0x1234"),
    ("fn24_pymodbus_fifo", "serve --mbap", "{sk} -FRTCP -FN24 -SR400001 -PKOFF -OFCSV",
     {"records": [(24, "ok", [])]}),
    ("fn22_libmodbus_mask_write", "libmodbus", "{sk} -FRTCP -FN22 -SR400001 0x00F2 0x0025"),
    ("fn23_libmodbus_writes_then_reads", "libmodbus",
     "{sk} -FRTCP -FN23 -SR400001 -NR3 -WS400002 7 0xFFFF -PKOFF -OFJSON",
     {"records": [(23, "ok", [1, 7, 65535])]}),
    ("pdu_answer_shown_whole", "serve", "{sk} -PDU0300000002 -ESON", {"status": 0}),
    ("pdu_exception_shown_as_one", "serve --mbap", "{sk} -FRTCP -PDU41 -PKOFF -ESON",
     {"status": 1}),
    ("fn8_echo_that_differs_is_a_bad_reply", "raw --mbap --pattern w --answer 0800001235",
     "{sk} -FRTCP -FN8 0x1234 -ESON", {"status": 2}),
    ("fn22_mask_echo_that_differs_is_a_bad_reply", "raw --mbap --pattern w --answer 16000000f20024",
     "{sk} -FRTCP -FN22 -SR400001 0xF2 0x25"),
    ("fn23_byte_count_short_of_the_read_is_a_bad_reply", "raw --mbap --pattern w --answer 1702000b",
     "{sk} -FRTCP -FN23 -NR2 5 -PKOFF"),
    ("fn24_count_that_disagrees_is_a_bad_reply", "raw --mbap --pattern w --answer 18000400020001",
     "{sk} -FRTCP -FN24 -PKOFF"),
    *[(name, "serve", "{sk} -ESON " + args, {"status": 4, "connections": 0}) for name, args in (
        ("write_refused_on_a_pdu_not_in_hex", "-PDU03000G"),
        ("write_refused_on_one_mask", "-FN22 0xF2"),
        ("write_refused_on_a_write_start_of_coils", "-FN23 -WS000001 5"))],

    ("scan_options_echo_and_name_bad_values", "",
     "-scan0-5 /SCAN5-3 -SCAN1-248 -SCANx -SCAN+5 -SCAN1-2-3 -SWEEPX -sweepfirst -SCAN7 -XYZ"),
    # -SR names no holding register: the probe reads 400001.
    ("scan_over_modbus_tcp_finds_units_and_identity", "serve --mbap",
     "{sk} -FRTCP -SR300002 -SCAN99-102 -PKOFF -ESON", {"status": 0}),
    ("scan_of_a_silent_line_is_status_2", "slave -FAULTDROP", "{sk} -SCAN1-3 -ESON", {"status": 2}),
    ("scan_counts_gateway_exceptions_as_no_device", "raw --mbap --absent 0b",
     "{sk} -FRTCP -SCAN97-103 -PKOFF -ESON", {"status": 0}),
    # A late answer names its unit and finds it, in both framings; -STON counts it.
    ("scan_names_a_late_answer_over_modbus_tcp", "raw --mbap --late 450",
     "{sk} -FRTCP -SCAN99-101 -SR400001 -RT300 -PKOFF -STON -OFJSON", {"records": [(3, "late", [], {
         "request": 3, "settings": "", "identity": "Server ID: 7, run indicator: ON; " + IDENT})]}),
    ("scan_names_a_late_answer_in_rtu", "raw --late 450", "{sk} -SCAN99-101 -SR400001 -RT300 "
     "-PKOFF -OFCSV", {"records": [(3, "late", [], {"request": 3, "identity": "Server ID: 7, run "
                                                "indicator: ON", "settings": ""})]}),
    ("scan_probes_again_on_a_rebuilt_connection", "raw --absent 0b --sessions 3,0",
     "{sk} -SCAN97-101 -ESON -STON", {"status": 0, "connections": 2}),
    ("scan_names_the_units_left_untested", "raw --sessions 2 --down 5",
     "{sk} -SCAN99-110 -PKOFF -ESON", {"status": 2}),
    ("scan_interrupted_ends_with_its_summary", "slave -FAULTDROP", "{sk} -SCAN -PKOFF -ESON",
     {"signal": ("Scanning units", signal.SIGINT), "status": 5}),
]


def typed_cases():
    """Each type read from unit 101 in each order (16-bit ones in one, which they ignore), and
    written in one (a turn of the orders across the types): the words must be struct's."""
    cases = []
    for i, (name, code, texts) in enumerate(TYPED):
        width, texts = struct.calcsize(code) // 2, texts.split()
        runs = [(o, TYPED_AT[name, o if width > 1 else "ABCD"], 3)
                for o in (ORDERS if width > 1 else ORDERS[i % 4:i % 4 + 1])]
        for order, at, fc in runs + [(ORDERS[i % 4], TYPED_AT["WRITE"], 16)]:
            opts = ["-DT" + name, "-WO" + order, "-SR4%05d" % (at + 1)] + texts * (fc == 16)
            lines = "".join("\nRegister 4%05d: %s" % (at + 1 + k * width, t)
                            for k, t in enumerate(texts))
            check = {"text": "@@STACK@@fc = %02x\nModbus AL frame: startreg = 4%05d, #regs = %d%s"
                             "\nExiting.\n" % (fc, at + 1, 2 * width, lines)}
            if fc == 16:
                check["u101"] = (at, [w for t in texts for w in words(code, t, order)])
            kind = "write" if fc == 16 else "read"
            cases.append(("typed_%s_%s_%s" % (kind, name, order), "serve",
                          "{sk} -PKOFF -ID101 -NR2 -FN%d %s" % (fc, " ".join(opts)), check))
    return cases


class Output:
    """A process started with its standard output read in bounded waits, chunks timestamped."""

    def __init__(self, args, **options):
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, **options)
        self.start, self.data, self.chunks = time.monotonic(), b"", []

    def until(self, needle, timeout):
        """Reads until needle (None: the end) has come; its time since the start, or None."""
        deadline = time.monotonic() + timeout
        while needle is None or needle not in self.data:
            fd, left = self.proc.stdout.fileno(), deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return None
            chunk = os.read(fd, 65536)
            if not chunk:
                return time.monotonic() - self.start if needle is None else None
            self.chunks.append((time.monotonic() - self.start, len(self.data) + len(chunk)))
            self.data += chunk
        return next(t for t, end in self.chunks if self.data.find(needle) + len(needle) <= end)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(5)


def peer(*options):
    """slave.py with these options (libmodbus: the libmodbus Modbus TCP server); its port once
    it listens."""
    p = Output([os.environ["KORVALEN_TCP_PEER"], "server"] if options[0] == "libmodbus" else
               ["/usr/bin/python3", os.path.join(HERE, "slave.py"), *options],
               stderr=subprocess.DEVNULL)
    return p, int((p.data.split() + [b"0", b"0"])[1]) if p.until(b"\n", 10) else 0


def slave_peer(korvalen, port, *options):
    """korvalen-slave beside korvalen, listening on the port on 127.0.0.1 (once it connects)."""
    name = "korvalen-slave" + (".exe" if korvalen[-1].endswith(".exe") else "")
    p = Output([*korvalen[:-1], os.path.join(os.path.dirname(korvalen[-1]), name), "-SK/%d" % port,
                "-LA127.0.0.1", *options], stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                break
        time.sleep(0.05)
    return p


def load(dump):
    with open(dump, encoding="ascii") as f:
        return json.load(f)


def check(korvalen, name, peer_mode, args, checks=None):
    peer_mode, checks = peer_mode.split(), checks or {}
    procs, dump = [], os.path.join(TMP, name + ".json")
    try:
        with socket.create_server(("127.0.0.1", 0)) as s:
            port = s.getsockname()[1]
        if peer_mode[:1] == ["slave"]:
            procs.append(slave_peer(korvalen, port, *peer_mode[1:]))
        elif peer_mode and peer_mode[0] != "connect":
            listening, port = peer(*peer_mode, *(["--dump", dump] if peer_mode[0] != "libmodbus"
                                                 else []))
            procs.append(listening)
        args = args.format(sk="-SK127.0.0.1/%d" % port, port=port).split()
        # "merged": records and text read as one stream, as 2>&1 gives them; "hosts": the only
        # names the resolver knows (the rig's stub, so no query leaves the machine).
        env = None if "hosts" not in checks else dict(
            os.environ, KV_RIG_HOSTS=checks["hosts"],
            LD_PRELOAD=os.path.join(os.path.dirname(korvalen[-1]), "tests", "librig_shim.so"),
            ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        run = Output([*korvalen, *args], cwd=TMP, env=env,
                     stderr=subprocess.STDOUT if "merged" in checks else subprocess.PIPE)
        procs.append(run)
        # a server shows that it waits before it takes the connection
        if peer_mode and peer_mode[0] == "connect":
            if run.until(b"server socket.  Port == ", 5) is None:
                return "no wait shown before the accept: %r" % run.data
            procs.append(peer(*peer_mode, "--port", str(port), "--dump", dump)[0])
        if "signal" in checks:
            text, deadline = checks["signal"][0], time.monotonic() + 5
            while time.monotonic() < deadline and not (
                    run.until(text.encode(), 5) if text else procs[0].until(b"Request 1:", 0.1)):
                time.sleep(0.02)
            # Windows has no SIGTERM: wine ends the process on it. Ctrl-C is the stop there.
            run.proc.send_signal(signal.SIGINT if RUN else checks["signal"][1])
        # a run under wine on a loaded machine has been seen silent for over 15 s
        ended, status = run.until(None, 40 if RUN else 15), checks.get("status", 10)
        err, records = run.proc.stderr.read() if run.proc.stderr else b"", checks.get("records")
        # With records, standard error carries the text and standard output the records only.
        if ended is None or run.proc.wait(3) != status or (err and records is None):
            if ended is not None and emulator_fault(run.proc.poll(), run.data + err):
                raise EmulatorFault("status %d, output %r" % (run.proc.poll(), run.data + err))
            return "no clean exit with status %d (status %s); output:\n%r" % (
                status, run.proc.poll(), run.data + err)
        if records is not None:
            failure = check_records(lf_lines(run.data), args, records, ended)
            if failure:
                return failure
        out = BANNER.sub(b"KORVALEN v1.5:  Compiled at <DATE> <TIME>\n",
                         lf_lines(run.data if records is None else err), count=1)
        # the port alone, not digits of it inside a longer number
        out = re.sub(rb"(?<![0-9])%d(?![0-9])" % port, b"<PORT>", out)
        text = checks.get("text", "").encode()
        if not text:
            with open(os.path.join(HERE, "transcripts", checks.get("transcript", name) + ".txt"),
                      "rb") as f:
                text = f.read()
        expected = b".*".join(map(re.escape, text.split(b"@@STACK@@")))
        if not re.fullmatch(b"(?s)" + expected, out):
            return "transcript differs; output:\n%s" % out.decode("latin-1")
        for first, text, least, most in checks.get("gaps", []):
            gap = run.until(text.encode(), 0) - (first and run.until(first.encode(), 0) or 0)
            if not least <= gap <= most:
                return "%r to %r took %.3f s" % (first, text, gap)
        want = {k: v for k, v in checks.items()
                if k not in ("transcript", "text", "gaps", "signal", "status", "records", "native",
                             "merged", "hosts")}
        store, deadline = None, time.monotonic() + 5
        while want and time.monotonic() < deadline:
            store = load(dump)
            if all(store[k] == v if isinstance(v, int) else
                   store[k][v[0]:v[0] + len(v[1])] == v[1] for k, v in want.items()):
                return None
            time.sleep(0.02)
        return "store %r, expected %r" % (store, want) if want else None
    finally:
        for p in procs:
            p.stop()


def check_records(data, args, expected, seconds):
    """Records read back as a spreadsheet or a JSON reader would, each field against the run."""
    text, csv_format = data.decode("ascii"), "-OFCSV" in args
    typed = any(a.startswith("-DT") for a in args)  # values in their type, not 16-bit
    start = [a[3:] for a in args if a.startswith("-SR")][-1]
    unit = int(([a[3:] for a in args if a.startswith("-ID")] or ["100"])[-1])
    if csv_format:
        rows = list(csv.DictReader(io.StringIO(text, newline="")))
        if not text.startswith("time,request,unit,function,start,result,response_ms,values%s\n"
                               % (",settings,identity" if "-SCAN" in " ".join(args) else "")):
            return "CSV header: %r" % text
        for row in rows:
            row["values"] = [row["values"]] if "-DTSTRING" in args else [
                int(v) for v in row["values"].split()]
    else:
        # response_ms as written, not as a float reads back (0.100 would be 0.1)
        rows = [json.loads(line, parse_float=str) for line in text.splitlines()]
    now = datetime.datetime.now(datetime.timezone.utc)
    for n, (row, (function, result, values, *extra)) in enumerate(zip(rows, expected), 1):
        stamp = datetime.datetime.strptime(row["time"], "%Y-%m-%dT%H:%M:%S.%fZ")
        age = (now - stamp.replace(tzinfo=datetime.timezone.utc)).total_seconds()
        want = {"request": n, "unit": unit, "function": function, "start": start,
                "result": result, "values": values if typed else [v - 65536 * (v > 32767)
                                                                  for v in values]}
        want.update(*extra)  # a scan's record: its probe's number, settings and identity
        got = {k: int(row[k]) if k in ("request", "unit", "function") else row[k] for k in want}
        ms = re.fullmatch(r"[0-9]+\.[0-9]{3}", row["response_ms"])
        if got != want or not ms or not 0 <= float(ms[0]) <= seconds * 1000 or not \
                -1 <= age <= seconds + 2 or len(row) != 8 + 2 * bool(extra):
            return "record %d of %d: %r, expected %r (age %.3f s)" % (n, len(rows), row, want, age)
    return None if len(rows) == len(expected) else "%d records: %r" % (len(rows), text)


def output_errors_end_no_run(korvalen):
    """A reader that goes away after 100 bytes (| head -c 100) ends the run, through its close and
    with 10, long before the 300 requests asked for."""
    dump = os.path.join(TMP, "reader_gone.json")
    server, port = peer("serve", "--dump", dump)
    run = Output([*korvalen, "-SK127.0.0.1/%d" % port, "-RQ300", "-TD20"], stderr=subprocess.PIPE)
    try:
        run.proc.stdout.read(100), run.proc.stdout.close()
        status, err = run.proc.wait(15), run.proc.stderr.read()
        if emulator_fault(status, err):
            raise EmulatorFault("status %d" % status)
        sent = load(dump)["requests"]
        return None if status == 10 and not err and sent < 10 else "status %d, %d sent, %r" % (
            status, sent, err)
    finally:
        run.stop(), server.stop()


def poll_rounds_at_its_period_until_stopped(korvalen):
    """-POLL300 over two units: a round every 300 ms, start to start, each unit in turn, until a
    stop, which the summary and the records agree on."""
    server, port = peer("serve")
    run = Output([*korvalen, "-SK127.0.0.1/%d" % port, "-ID100,101", "-POLL300", "-TD0", "-OFCSV",
                  "-TROFF", "-STON", "-SR400001", "-NR1"], stderr=subprocess.PIPE)
    try:
        if run.until(b"Z,5,100,", 10) is None:
            return "no fifth record: %r" % run.data
        run.proc.send_signal(signal.SIGINT)
        if run.until(None, 40 if RUN else 15) is None:
            return "no end after the stop"
        rows = list(csv.DictReader(io.StringIO(lf_lines(run.data).decode())))
        stamps = [datetime.datetime.strptime(r["time"], "%Y-%m-%dT%H:%M:%S.%fZ") for r in rows]
        gaps = [(stamps[i + 2] - stamps[i]).total_seconds() for i in range(0, len(rows) - 2, 2)]
        err = lf_lines(run.proc.stderr.read()).decode()
        ok = [r["unit"] for r in rows] == ["100", "101"] * (len(rows) // 2) + ["100"] * (
            len(rows) % 2) and all(g >= 0.28 for g in gaps) and \
            "Requests sent:          %d\n" % len(rows) in err + "\n"
        return None if ok else "records %r, gaps %r, summary %r" % (rows, gaps, err)
    finally:
        run.stop(), server.stop()


def main():
    korvalen = [*RUN, os.path.abspath(sys.argv[1])]
    only = (sys.argv[2:] or [""])[0]
    rows = [(c[0], lambda c=c: check(korvalen, *c)) for c in CASES + typed_cases()
            if not (RUN and c[3:] and ("native" in c[3] or "hosts" in c[3]))]
    rows.append(("output_errors_end_no_run", lambda: output_errors_end_no_run(korvalen)))
    rows.append(("poll_rounds_at_its_period_until_stopped",
                 lambda: poll_rounds_at_its_period_until_stopped(korvalen)))

    def run(row):
        try:
            return row[0], once_more(*row)
        except Exception as e:  # pylint: disable=broad-except
            return row[0], "%s: %s" % (type(e).__name__, e)

    try:
        with ThreadPoolExecutor(4) as pool:
            results = list(pool.map(run, [r for r in rows if only in r[0]]))
    finally:
        shutil.rmtree(TMP, ignore_errors=True)
    for name, failure in results:
        print("FAIL %s: %s" % (name, failure) if failure else "PASS " + name)
    failed = sum(1 for _, failure in results if failure)
    print("e2e: %d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
