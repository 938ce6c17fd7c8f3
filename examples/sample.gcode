; A first program for the virtual printer (tools/run, tools/try_it.py):
; home, warm the hot end a little, trace a square with the fan on, cool down.
G28
M104 S60
G1 Z5 F600
G1 X10 Y10 F3000
G1 X40
G1 Y40
G1 X10
G1 Y10
M109 S60 ; wait for the hot end
M106 S128
G4 P500
M107
M104 S0
