<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>ConfFile</name>
    <message>
        <source>control character in the line</source>
        <translation>Steuerzeichen in der Zeile</translation>
    </message>
    <message>
        <source>expected key=value, got %1</source>
        <translation>key=value erwartet, %1 vorgefunden</translation>
    </message>
    <message>
        <source>no key before =</source>
        <translation>kein Schlüssel vor =</translation>
    </message>
    <message>
        <source>key %1 may hold only letters, digits, &apos;-&apos;, &apos;_&apos; and &apos;.&apos;</source>
        <translation>Schlüssel %1 darf nur Buchstaben, Ziffern, &apos;-&apos;, &apos;_&apos; und &apos;.&apos; enthalten</translation>
    </message>
    <message>
        <source>key %1 is set twice</source>
        <translation>Schlüssel %1 ist zweimal gesetzt</translation>
    </message>
    <message>
        <source>cannot read %1: %2</source>
        <translation>%1 lässt sich nicht lesen: %2</translation>
    </message>
    <message>
        <source>not a regular file</source>
        <translation>keine reguläre Datei</translation>
    </message>
    <message>
        <source>larger than %1 bytes</source>
        <translation>größer als %1 Bytes</translation>
    </message>
</context>
<context>
    <name>FaultLog</name>
    <message>
        <source>more than %1 kinds of fault so far; faults of further kinds are only counted</source>
        <translation>bisher mehr als %1 Arten von Fehlern; Fehler weiterer Arten werden nur noch gezählt</translation>
    </message>
    <message>
        <source>faults of further kinds</source>
        <translation>Fehler weiterer Arten</translation>
    </message>
    <message>
        <source>once</source>
        <translation>einmal</translation>
    </message>
    <message>
        <source>%1 times</source>
        <translation>%1-mal</translation>
    </message>
    <message>
        <source>%1: repeated %2 in the last %3 s, %4 times in all</source>
        <translation>%1: in den letzten %3 s %2 wiederholt, insgesamt %4-mal</translation>
    </message>
</context>
<context>
    <name>PortHelper</name>
    <message>
        <source>cannot start the port helper %1: %2</source>
        <translation>der Port-Helfer %1 lässt sich nicht starten: %2</translation>
    </message>
    <message>
        <source>only members of group %1 may drive hardware (an administrator adds an operator with: adduser OPERATOR %1; the operator then logs in again)</source>
        <translation>nur Mitglieder der Gruppe %1 dürfen Hardware ansteuern (ein Administrator nimmt einen Bediener auf mit: adduser BEDIENER %1; der Bediener meldet sich danach neu an)</translation>
    </message>
    <message>
        <source>the port helper %1 did not answer within %2 s</source>
        <translation>der Port-Helfer %1 hat nicht innerhalb von %2 s geantwortet</translation>
    </message>
    <message>
        <source>the port helper %1 %2 before it answered</source>
        <translation>der Port-Helfer %1 %2, bevor er geantwortet hat</translation>
    </message>
    <message>
        <source>the port helper %1 answered with something stelmo does not understand</source>
        <translation>der Port-Helfer %1 hat etwas geantwortet, das stelmo nicht versteht</translation>
    </message>
    <message>
        <source>the port helper %1 speaks protocol version %2, this stelmo %3; install a matching stelmo-port</source>
        <translation>der Port-Helfer %1 spricht Protokollversion %2, dieses stelmo %3; bitte ein passendes stelmo-port installieren</translation>
    </message>
    <message>
        <source>the port helper %1 failed without saying why</source>
        <translation>der Port-Helfer %1 ist fehlgeschlagen, ohne den Grund zu nennen</translation>
    </message>
    <message>
        <source>took no request for %1 s</source>
        <translation>hat %1 s lang keine Anfrage angenommen</translation>
    </message>
    <message>
        <source>did not answer within %1 s</source>
        <translation>hat nicht innerhalb von %1 s geantwortet</translation>
    </message>
    <message>
        <source>answered with something stelmo does not understand</source>
        <translation>hat etwas geantwortet, das stelmo nicht versteht</translation>
    </message>
    <message>
        <source>port helper %1 %2; accesses to %3 fail from now on</source>
        <translation>Port-Helfer %1 %2; Zugriffe auf %3 schlagen von nun an fehl</translation>
    </message>
    <message>
        <source>ended</source>
        <translation>hat sich beendet</translation>
    </message>
    <message>
        <source>was killed by signal %1 (%2)</source>
        <translation>wurde durch Signal %1 (%2) beendet</translation>
    </message>
    <message>
        <source>exited with status %1</source>
        <translation>hat sich mit Status %1 beendet</translation>
    </message>
    <message>
        <source>cannot find the port helper: /proc/self/exe: %1</source>
        <translation>der Port-Helfer lässt sich nicht finden: /proc/self/exe: %1</translation>
    </message>
    <message>
        <source>cannot find the port helper: neither %1 nor %2 is there; reinstall stelmo</source>
        <translation>der Port-Helfer lässt sich nicht finden: weder %1 noch %2 ist vorhanden; bitte stelmo neu installieren</translation>
    </message>
</context>
<context>
    <name>PortTrace</name>
    <message>
        <source>the reader does not keep up</source>
        <translation>der Leser kommt nicht hinterher</translation>
    </message>
    <message>
        <source>no process reads it any more (Broken pipe)</source>
        <translation>kein Prozess liest sie mehr (Broken pipe)</translation>
    </message>
    <message>
        <source>trace file %1: lines lost</source>
        <translation>Trace-Datei %1: Zeilen verloren</translation>
    </message>
    <message>
        <source>no process is reading the FIFO; start its reader first</source>
        <translation>kein Prozess liest aus der FIFO; bitte zuerst ihren Leser starten</translation>
    </message>
    <message>
        <source>no such terminal (stelmo has no controlling terminal)</source>
        <translation>kein solches Terminal (stelmo hat kein steuerndes Terminal)</translation>
    </message>
    <message>
        <source>it is a symbolic link to nothing, or keeps appearing</source>
        <translation>sie ist ein symbolischer Link ins Leere oder taucht immer wieder auf</translation>
    </message>
    <message>
        <source>cannot open %1: %2</source>
        <translation>%1 lässt sich nicht öffnen: %2</translation>
    </message>
    <message>
        <source>%1 is not a terminal</source>
        <translation>%1 ist kein Terminal</translation>
    </message>
    <message>
        <source>%1 changed while it was being opened</source>
        <translation>%1 hat sich beim Öffnen geändert</translation>
    </message>
    <message>
        <source>trace file %1: %2; trace lines are being lost, and a &quot;# lost N lines&quot; line marks the gap once writing works again</source>
        <translation>Trace-Datei %1: %2; Trace-Zeilen gehen verloren, und eine Zeile „# lost N lines“ markiert die Lücke, sobald das Schreiben wieder gelingt</translation>
    </message>
    <message>
        <source>a character device other than a terminal</source>
        <translation>ein zeichenorientiertes Gerät, aber kein Terminal</translation>
    </message>
    <message>
        <source>a block device</source>
        <translation>ein Blockgerät</translation>
    </message>
    <message>
        <source>a socket</source>
        <translation>ein Socket</translation>
    </message>
    <message>
        <source>neither a file, a pipe nor a terminal</source>
        <translation>weder eine Datei noch eine Pipe noch ein Terminal</translation>
    </message>
    <message>
        <source>%1 is %2; the trace goes to a regular file, a pipe or FIFO, or a terminal</source>
        <translation>%1 ist %2; der Trace geht in eine reguläre Datei, eine Pipe oder FIFO oder an ein Terminal</translation>
    </message>
    <message>
        <source>trace file %1 (%2)</source>
        <translation>Trace-Datei %1 (%2)</translation>
    </message>
    <message>
        <source>writing to it does not keep up</source>
        <translation>das Schreiben kommt nicht hinterher</translation>
    </message>
    <message>
        <source>cannot start the writer of %1: %2</source>
        <translation>der Schreiber für %1 lässt sich nicht starten: %2</translation>
    </message>
</context>
<context>
    <name>Ports</name>
    <message>
        <source>empty mapping</source>
        <translation>leere Zuordnung</translation>
    </message>
    <message>
        <source>missing =PHYSICAL after %1</source>
        <translation>fehlendes =PHYSICAL nach %1</translation>
    </message>
    <message>
        <source>%1 is not a port number</source>
        <translation>%1 ist keine Portnummer</translation>
    </message>
    <message>
        <source>%1 is not a port base the program uses</source>
        <translation>%1 ist keine Portbasis, die das Programm verwendet</translation>
    </message>
    <message>
        <source>%1 is mapped twice</source>
        <translation>%1 ist zweimal zugeordnet</translation>
    </message>
    <message>
        <source>physical base %1 is above %2 (base + 2 must be a port too)</source>
        <translation>die physische Basis %1 liegt über %2 (Basis + 2 muss auch ein Port sein)</translation>
    </message>
    <message>
        <source>unknown port backend</source>
        <translation>unbekanntes Port-Backend</translation>
    </message>
    <message>
        <source>empty device name</source>
        <translation>leerer Gerätename</translation>
    </message>
    <message>
        <source>%1 and %2 would both reach the port at %3</source>
        <translation>%1 und %2 würden beide den Port bei %3 erreichen</translation>
    </message>
    <message>
        <source>bases %1 and %2 overlap (one&apos;s data register is the other&apos;s switch register)</source>
        <translation>die Basen %1 und %2 überschneiden sich (das Datenregister der einen ist das Schalterregister der anderen)</translation>
    </message>
    <message>
        <source>cannot open %1: %2</source>
        <translation>%1 lässt sich nicht öffnen: %2</translation>
    </message>
    <message>
        <source>the kernel is in lockdown (%1, usually because of Secure Boot), which forbids port access through %2 even for root</source>
        <translation>der Kernel ist im Lockdown (%1, meist wegen Secure Boot), der Portzugriffe über %2 selbst für root verbietet</translation>
    </message>
    <message>
        <source>run as root or give the binary cap_sys_rawio (setcap cap_sys_rawio+ep %1) and the user read-write access to %2</source>
        <translation>als root starten oder dem Programm cap_sys_rawio geben (setcap cap_sys_rawio+ep %1) und dem Benutzer Lese- und Schreibzugriff auf %2</translation>
    </message>
    <message>
        <source>this kernel has no /dev/port (it was built without CONFIG_DEVPORT)</source>
        <translation>dieser Kernel hat kein /dev/port (er wurde ohne CONFIG_DEVPORT gebaut)</translation>
    </message>
    <message>
        <source>the device does not exist</source>
        <translation>das Gerät existiert nicht</translation>
    </message>
    <message>
        <source>%1: port %2 is not a register the program drives; access refused</source>
        <translation>%1: Port %2 ist kein Register, das das Programm ansteuert; Zugriff verweigert</translation>
    </message>
    <message>
        <source>sim (the default)</source>
        <translation>sim (die Vorgabe)</translation>
    </message>
    <message>
        <source>port[:DEVICE][,0x378=PHYSICAL][,0x278=PHYSICAL] (PHYSICAL in hex with 0x or decimal, at most 0xfffd)</source>
        <translation>port[:DEVICE][,0x378=PHYSICAL][,0x278=PHYSICAL] (PHYSICAL hexadezimal mit 0x oder dezimal, höchstens 0xfffd)</translation>
    </message>
    <message>
        <source> or </source>
        <translation> oder </translation>
    </message>
    <message>
        <source>use %1</source>
        <translation>%1 verwenden</translation>
    </message>
    <message>
        <source>cannot open %1: another stelmo drives it already; one stelmo at a time drives a port</source>
        <translation>%1 lässt sich nicht öffnen: ein anderes stelmo steuert es schon an; ein Port wird von nur einem stelmo zugleich angesteuert</translation>
    </message>
    <message>
        <source>cannot open %1: the stelmo of process %2 drives it already; one stelmo at a time drives a port</source>
        <translation>%1 lässt sich nicht öffnen: das stelmo des Prozesses %2 steuert es schon an; ein Port wird von nur einem stelmo zugleich angesteuert</translation>
    </message>
    <message>
        <source>%1: port %2 is a switch register, which the program only reads; write refused</source>
        <translation>%1: Port %2 ist ein Schalterregister, das das Programm nur liest; Schreiben verweigert</translation>
    </message>
    <message>
        <source>%1: port %2 is a data register, which the program only writes; read refused</source>
        <translation>%1: Port %2 ist ein Datenregister, das das Programm nur schreibt; Lesen verweigert</translation>
    </message>
</context>
<context>
    <name>Privileges</name>
    <message>
        <source>cannot drop capabilities: %1</source>
        <translation>die Capabilities lassen sich nicht abgeben: %1</translation>
    </message>
    <message>
        <source>cannot clear the ambient capabilities: %1</source>
        <translation>die Ambient-Capabilities lassen sich nicht leeren: %1</translation>
    </message>
    <message>
        <source>capabilities dropped in this thread, but %1 other thread keeps its (drop them before any thread starts)</source>
        <translation>Capabilities in diesem Thread abgegeben, aber %1 anderer Thread behält seine (sie abgeben, bevor ein Thread startet)</translation>
    </message>
    <message>
        <source>capabilities dropped in this thread, but %1 other threads keep theirs (drop them before any thread starts)</source>
        <translation>Capabilities in diesem Thread abgegeben, aber %1 andere Threads behalten ihre (sie abgeben, bevor ein Thread startet)</translation>
    </message>
</context>
<context>
    <name>Report</name>
    <message>
        <source>%1 earlier lines could not be written to standard error; it did not take them</source>
        <translation>%1 frühere Zeilen ließen sich nicht auf die Standardfehlerausgabe schreiben; sie nahm sie nicht an</translation>
    </message>
</context>
<context>
    <name>RigView</name>
    <message>
        <source>Simulated rig</source>
        <translation>Simulierter Prüfstand</translation>
    </message>
    <message>
        <source>all phases off</source>
        <translation>alle Phasen aus</translation>
    </message>
    <message>
        <source>phase %1 on</source>
        <translation>Phase %1 an</translation>
    </message>
    <message>
        <source>phases %1 on</source>
        <translation>Phasen %1 an</translation>
    </message>
    <message>
        <source>Carriage at step %1; home switch %2, far switch %3; %4</source>
        <translation>Schlitten bei Schritt %1; Referenzschalter %2, Endschalter %3; %4</translation>
    </message>
    <message>
        <source>closed</source>
        <translation>geschlossen</translation>
    </message>
    <message>
        <source>open</source>
        <translation>offen</translation>
    </message>
    <message>
        <source>Phases</source>
        <translation>Phasen</translation>
    </message>
    <message>
        <source>home</source>
        <translation>Referenz</translation>
    </message>
    <message>
        <source>far</source>
        <translation>Ende</translation>
    </message>
    <message>
        <source>Carriage at step %1    Steps %2    Stalls %3</source>
        <translation>Schlitten bei Schritt %1    Schritte %2    Blockiert %3</translation>
    </message>
</context>
<context>
    <name>StatusStrip</name>
    <message>
        <source>D%1 on</source>
        <translation>D%1 an</translation>
    </message>
    <message>
        <source>D%1 off</source>
        <translation>D%1 aus</translation>
    </message>
    <message>
        <source>Data lines: nothing written yet</source>
        <translation>Datenleitungen: noch nichts geschrieben</translation>
    </message>
    <message>
        <source>Phase lamps D0 to D3: nothing written to the data register yet</source>
        <translation>Phasenlampen D0 bis D3: noch nichts in das Datenregister geschrieben</translation>
    </message>
    <message>
        <source>Data lines: write failed: %1</source>
        <translation>Datenleitungen: Schreiben fehlgeschlagen: %1</translation>
    </message>
    <message>
        <source>Writing %1 to the data register %2 failed</source>
        <translation>Schreiben von %1 in das Datenregister %2 ist fehlgeschlagen</translation>
    </message>
    <message>
        <source>Data lines: %1</source>
        <translation>Datenleitungen: %1</translation>
    </message>
    <message>
        <source>Phase lamps D0 to D3: %1 was written to the data register %2 last</source>
        <translation>Phasenlampen D0 bis D3: zuletzt wurde %1 in das Datenregister %2 geschrieben</translation>
    </message>
    <message>
        <source>write failed</source>
        <translation>Schreibfehler</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>HARDWARE</source>
        <translation>HARDWARE</translation>
    </message>
    <message>
        <source>Hardware</source>
        <translation>Hardware</translation>
    </message>
    <message>
        <source>A real motor moves: the ports are reached through %1</source>
        <translation>Ein echter Motor bewegt sich: die Ports werden über %1 angesprochen</translation>
    </message>
    <message>
        <source>%1 · %2</source>
        <translation>%1 · %2</translation>
    </message>
    <message>
        <source>SIMULATION</source>
        <translation>SIMULATION</translation>
    </message>
    <message>
        <source>Simulation</source>
        <translation>Simulation</translation>
    </message>
    <message>
        <source>No motor moves: the ports lead to the simulated rig</source>
        <translation>Kein Motor bewegt sich: die Ports führen zum simulierten Prüfstand</translation>
    </message>
    <message>
        <source>Simulated rig</source>
        <translation>Simulierter Prüfstand</translation>
    </message>
    <message>
        <source>Switches not read yet</source>
        <translation>Schalter noch nicht gelesen</translation>
    </message>
    <message>
        <source>Switch read failed</source>
        <translation>Schalter-Lesefehler</translation>
    </message>
    <message>
        <source>Stopped</source>
        <translation>Angehalten</translation>
    </message>
    <message>
        <source>RT</source>
        <translation>RT</translation>
    </message>
    <message>
        <source>normal priority</source>
        <translation>normale Priorität</translation>
    </message>
    <message>
        <source>Step timer: real-time</source>
        <translation>Schritt-Timer: Echtzeit</translation>
    </message>
    <message>
        <source>Step timer: normal priority</source>
        <translation>Schritt-Timer: normale Priorität</translation>
    </message>
    <message>
        <source>home switch</source>
        <translation>Referenzschalter</translation>
    </message>
    <message>
        <source>far switch</source>
        <translation>Endschalter</translation>
    </message>
    <message>
        <source>no switch</source>
        <translation>kein Schalter</translation>
    </message>
    <message>
        <source>The step timer is off: no step is made</source>
        <translation>Der Schritt-Timer ist aus: es wird kein Schritt gemacht</translation>
    </message>
    <message>
        <source>Nothing read from a switch register yet</source>
        <translation>Noch nichts aus einem Schalterregister gelesen</translation>
    </message>
    <message>
        <source>Reading the switch register %1 failed; the program got 0xff, which is neither switch</source>
        <translation>Lesen des Schalterregisters %1 ist fehlgeschlagen; das Programm erhielt 0xff, was keinem Schalter entspricht</translation>
    </message>
    <message>
        <source>Switches %1, %2</source>
        <translation>Schalter %1, %2</translation>
    </message>
    <message>
        <source>The last byte read from the switch register %1: 0x0d is the home switch, 0x0e the far switch, anything else neither</source>
        <translation>Das zuletzt aus dem Schalterregister %1 gelesene Byte: 0x0d ist der Referenzschalter, 0x0e der Endschalter, alles andere keiner von beiden</translation>
    </message>
    <message>
        <source>Panel file: %1
Configuration files: %2</source>
        <translation>Bedienfelddatei: %1
Konfigurationsdateien: %2</translation>
    </message>
    <message>
        <source>Stopped: %1</source>
        <translation>Angehalten: %1</translation>
    </message>
    <message>
        <source>started by a script</source>
        <translation>per Skript gestartet</translation>
    </message>
    <message>
        <source>A script started the motor over the session bus; Start or Home at the panel takes the run over, Stop or Esc stops it</source>
        <translation>Ein Skript hat den Motor über den D-Bus-Sitzungsbus gestartet; Starten oder Referenzfahrt am Bedienfeld übernimmt den Lauf, Stoppen oder Esc hält ihn an</translation>
    </message>
    <message>
        <source>%1 steps/s</source>
        <translation>%1 Schritte/s</translation>
    </message>
    <message>
        <source>a step every %1 s</source>
        <translation>ein Schritt alle %1 s</translation>
    </message>
    <message>
        <source>Homing · step %1</source>
        <translation>Referenzfahrt · Schritt %1</translation>
    </message>
    <message>
        <source>Homing</source>
        <translation>Referenzfahrt</translation>
    </message>
    <message>
        <source>Jogging towards home</source>
        <translation>Fährt zur Referenz</translation>
    </message>
    <message>
        <source>Jogging towards far end</source>
        <translation>Fährt zum fernen Ende</translation>
    </message>
    <message>
        <source>Holding at home switch</source>
        <translation>Steht am Referenzschalter</translation>
    </message>
    <message>
        <source>Holding at far switch</source>
        <translation>Steht am Endschalter</translation>
    </message>
    <message>
        <source>Running</source>
        <translation>Läuft</translation>
    </message>
    <message>
        <source>The step timer is on: at most one full step per tick; the rate counts the steps made</source>
        <translation>Der Schritt-Timer ist an: höchstens ein Vollschritt je Takt; die Rate zählt die gemachten Schritte</translation>
    </message>
    <message>
        <source>%1 (read %2)</source>
        <translation>%1 (gelesen %2)</translation>
    </message>
    <message>
        <source>Switches %1, %2, read %3</source>
        <translation>Schalter %1, %2, gelesen %3</translation>
    </message>
    <message>
        <source>The switch register %1 read %2 last; switch-mask made it %3, which the program got: 0x0d is the home switch, 0x0e the far switch, anything else neither</source>
        <translation>Das Schalterregister %1 las zuletzt %2; switch-mask machte daraus %3, was das Programm erhielt: 0x0d ist der Referenzschalter, 0x0e der Endschalter, alles andere keiner von beiden</translation>
    </message>
</context>
<context>
    <name>StelmoPanel</name>
    <message>
        <source>stelmo</source>
        <translation>stelmo</translation>
    </message>
    <message>
        <source>&amp;Port</source>
        <translation>&amp;Anschluss</translation>
    </message>
    <message>
        <source>Parallel port the motor hangs on; taken when Start is pressed</source>
        <translation>Parallelport, an dem der Motor hängt; wird beim Starten übernommen</translation>
    </message>
    <message>
        <source>&amp;Direction</source>
        <translation>&amp;Richtung</translation>
    </message>
    <message>
        <source>Direction of travel; follows every step while the motor runs</source>
        <translation>Fahrtrichtung; gilt für jeden Schritt, auch während der Motor läuft</translation>
    </message>
    <message>
        <source>Towards home</source>
        <translation>Zur Referenz</translation>
    </message>
    <message>
        <source>Towards far end</source>
        <translation>Zum fernen Ende</translation>
    </message>
    <message>
        <source>Position</source>
        <translation>Position</translation>
    </message>
    <message>
        <source>Position value, 0 at the home end to 340</source>
        <translation>Positionswert, von 0 am Referenzende bis 340</translation>
    </message>
    <message>
        <source>Start stepping on the selected port (Alt+S)</source>
        <translation>Schrittbetrieb am gewählten Anschluss starten (Alt+S)</translation>
    </message>
    <message>
        <source>&amp;Start</source>
        <translation>&amp;Starten</translation>
    </message>
    <message>
        <source>Stop stepping; the motor keeps its last phase (Alt+T or Esc, from any window)</source>
        <translation>Schrittbetrieb anhalten; der Motor behält seine letzte Phase (Alt+T oder Esc, aus jedem Fenster)</translation>
    </message>
    <message>
        <source>S&amp;top</source>
        <translation>S&amp;toppen</translation>
    </message>
    <message>
        <source>Quit stelmo (Alt+Q)</source>
        <translation>stelmo beenden (Alt+B)</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>One step on the selected port while stopped: in the chosen direction, or towards home until home is found (Alt+E)</source>
        <translation>Ein Schritt am gewählten Anschluss, solange der Motor steht: in der gewählten Richtung, bis die Referenz gefunden ist zur Referenz hin (Alt+E)</translation>
    </message>
    <message>
        <source>St&amp;ep</source>
        <translation>&amp;Einzelschritt</translation>
    </message>
    <message>
        <source>A new reference run on the selected port, from where the motor stands; the position then reads 0 (Alt+H)</source>
        <translation>Eine neue Referenzfahrt am gewählten Anschluss, von der Stelle aus, an der der Motor steht; danach zeigt die Position 0 (Alt+H)</translation>
    </message>
    <message>
        <source>&amp;Home</source>
        <translation>Referenzfa&amp;hrt</translation>
    </message>
</context>
<context>
    <name>stelmo</name>
    <message>
        <source>unlimited</source>
        <translation>unbegrenzt</translation>
    </message>
    <message>
        <source>RealtimeKit did not answer within %1 ms</source>
        <translation>RealtimeKit hat nicht innerhalb von %1 ms geantwortet</translation>
    </message>
    <message>
        <source>RealtimeKit is not running</source>
        <translation>RealtimeKit läuft nicht</translation>
    </message>
    <message>
        <source>RealtimeKit: property %1 is not a number</source>
        <translation>RealtimeKit: Eigenschaft %1 ist keine Zahl</translation>
    </message>
    <message>
        <source>RealtimeKit not asked (no application object)</source>
        <translation>RealtimeKit nicht gefragt (kein Anwendungsobjekt)</translation>
    </message>
    <message>
        <source>no D-Bus system bus for RealtimeKit</source>
        <translation>kein D-Bus-Systembus für RealtimeKit</translation>
    </message>
    <message>
        <source>RealtimeKit grants no real-time priority</source>
        <translation>RealtimeKit gewährt keine Echtzeitpriorität</translation>
    </message>
    <message>
        <source>cannot set RLIMIT_RTTIME for RealtimeKit: %1</source>
        <translation>RLIMIT_RTTIME für RealtimeKit lässt sich nicht setzen: %1</translation>
    </message>
    <message>
        <source>real-time (SCHED_FIFO %1)</source>
        <translation>Echtzeit (SCHED_FIFO %1)</translation>
    </message>
    <message>
        <source>SCHED_FIFO not permitted (RLIMIT_RTPRIO %1)</source>
        <translation>SCHED_FIFO nicht erlaubt (RLIMIT_RTPRIO %1)</translation>
    </message>
    <message>
        <source>SCHED_FIFO refused: %1</source>
        <translation>SCHED_FIFO abgelehnt: %1</translation>
    </message>
    <message>
        <source>normal priority: %1, %2</source>
        <translation>normale Priorität: %1, %2</translation>
    </message>
    <message>
        <source>RLIMIT_MEMLOCK is %1 KiB</source>
        <translation>RLIMIT_MEMLOCK beträgt %1 KiB</translation>
    </message>
    <message>
        <source>cannot map a thread stack: %1</source>
        <translation>Thread-Stack lässt sich nicht einblenden: %1</translation>
    </message>
    <message>
        <source>cannot protect the guard page of a thread stack: %1</source>
        <translation>Schutzseite eines Thread-Stacks lässt sich nicht schützen: %1</translation>
    </message>
    <message>
        <source>cannot start a timer thread: %1</source>
        <translation>Timer-Thread lässt sich nicht starten: %1</translation>
    </message>
    <message>
        <source>memory locked</source>
        <translation>Speicher gesperrt</translation>
    </message>
    <message>
        <source>tick stack locked</source>
        <translation>Takt-Stack gesperrt</translation>
    </message>
    <message>
        <source>memory not locked: %1, %2</source>
        <translation>Speicher nicht gesperrt: %1, %2</translation>
    </message>
    <message>
        <source>which is not a C function name</source>
        <translation>der kein C-Funktionsname ist</translation>
    </message>
    <message>
        <source>which is not a control callback</source>
        <translation>der kein Callback für Steuerelemente ist</translation>
    </message>
    <message>
        <source>which the program does not have</source>
        <translation>den das Programm nicht hat</translation>
    </message>
    <message>
        <source>which is not a function of the program</source>
        <translation>der keine Funktion des Programms ist</translation>
    </message>
    <message>
        <source>which is not a function of the program (it is in %1)</source>
        <translation>der keine Funktion des Programms ist (er liegt in %1)</translation>
    </message>
    <message>
        <source>which is not a function of the program (it is in another library)</source>
        <translation>der keine Funktion des Programms ist (er liegt in einer anderen Bibliothek)</translation>
    </message>
    <message>
        <source>%1 is a selector without entries</source>
        <translation>%1 ist ein Auswahlfeld ohne Einträge</translation>
    </message>
    <message>
        <source>%1 is an editable selector; the program needs a fixed list of entries</source>
        <translation>%1 ist ein editierbares Auswahlfeld; das Programm braucht eine feste Liste von Einträgen</translation>
    </message>
    <message>
        <source>command button</source>
        <translation>Befehlsschaltfläche</translation>
    </message>
    <message>
        <source>selector</source>
        <translation>Auswahlfeld</translation>
    </message>
    <message>
        <source>numeric display</source>
        <translation>Zahlenanzeige</translation>
    </message>
    <message>
        <source>its range is %1 to %2</source>
        <translation>sein Bereich ist %1 bis %2</translation>
    </message>
    <message>
        <source>more than its %1 digits</source>
        <translation>mehr als seine %1 Stellen</translation>
    </message>
    <message>
        <source>timer control</source>
        <translation>Timer-Steuerelement</translation>
    </message>
    <message>
        <source>control</source>
        <translation>Steuerelement</translation>
    </message>
    <message>
        <source>callback %1 of control %2 of panel %3 failed</source>
        <translation>Callback %1 von Steuerelement %2 auf Bedienfeld %3 ist fehlgeschlagen</translation>
    </message>
    <message>
        <source>callback %1 of control %2 of panel %3 failed: %4</source>
        <translation>Callback %1 von Steuerelement %2 auf Bedienfeld %3 ist fehlgeschlagen: %4</translation>
    </message>
    <message>
        <source>no panel with handle %1</source>
        <translation>kein Bedienfeld mit dem Handle %1</translation>
    </message>
    <message>
        <source>panel %1 has no %2 with id %3</source>
        <translation>Bedienfeld %1 hat mit der ID %3 nichts vom Typ %2</translation>
    </message>
    <message>
        <source>the engine has not been started (InitRuntimeEx)</source>
        <translation>die Engine wurde nicht gestartet (InitRuntimeEx)</translation>
    </message>
    <message>
        <source>called from a thread other than the one that started the engine</source>
        <translation>aus einem anderen Thread aufgerufen als dem, der die Engine gestartet hat</translation>
    </message>
    <message>
        <source>called from a timer tick; only the thread that started the engine may do this</source>
        <translation>aus einem Timer-Takt aufgerufen; das darf nur der Thread, der die Engine gestartet hat</translation>
    </message>
    <message>
        <source>LoadPanel: panels have no parent panel (parent %1 given)</source>
        <translation>LoadPanel: Bedienfelder haben kein übergeordnetes Bedienfeld (%1 angegeben)</translation>
    </message>
    <message>
        <source>LoadPanel: no panel file named (null)</source>
        <translation>LoadPanel: keine Bedienfelddatei angegeben (null)</translation>
    </message>
    <message>
        <source>LoadPanel: no panel file named</source>
        <translation>LoadPanel: keine Bedienfelddatei angegeben</translation>
    </message>
    <message>
        <source>attribute %1 is not one the engine knows</source>
        <translation>die Engine kennt das Attribut %1 nicht</translation>
    </message>
    <message>
        <source>the event loop is already running</source>
        <translation>die Ereignisschleife läuft bereits</translation>
    </message>
    <message>
        <source>no place given for the index (null pointer)</source>
        <translation>kein Platz für den Index angegeben (Nullzeiger)</translation>
    </message>
    <message>
        <source>control %1 of panel %2 cannot show %3 (%4)</source>
        <translation>Steuerelement %1 von Bedienfeld %2 kann %3 nicht anzeigen (%4)</translation>
    </message>
    <message>
        <source>control %1 of panel %2 cannot show %3</source>
        <translation>Steuerelement %1 von Bedienfeld %2 kann %3 nicht anzeigen</translation>
    </message>
    <message>
        <source>%1 is no button; only a button takes stelmoKeys</source>
        <translation>%1 ist keine Schaltfläche; nur eine Schaltfläche nimmt stelmoKeys an</translation>
    </message>
    <message>
        <source>%1 has stelmoKeys %2, which is not text</source>
        <translation>%1 hat stelmoKeys %2, das ist kein Text</translation>
    </message>
    <message>
        <source>%1 has stelmoKeys %2, and %3 is not one key (such as Esc, F5 or Ctrl+T; several are separated by &quot;, &quot; or &quot;;&quot;)</source>
        <translation>%1 hat stelmoKeys %2, und %3 ist keine einzelne Taste (etwa Esc, F5 oder Ctrl+T; mehrere werden durch &quot;, &quot; oder &quot;;&quot; getrennt)</translation>
    </message>
    <message>
        <source>control %1 %2 answers %3, as control %4 %5 does; one key, one button</source>
        <translation>Steuerelement %1 %2 reagiert auf %3, wie schon Steuerelement %4 %5; eine Taste, eine Schaltfläche</translation>
    </message>
    <message>
        <source>step timer runs at %1; steps may be late when the machine is busy</source>
        <translation>Schritt-Timer: %1; Schritte können sich verspäten, wenn der Rechner ausgelastet ist</translation>
    </message>
    <message>
        <source>control %1 %2: %3</source>
        <translation>Steuerelement %1 %2: %3</translation>
    </message>
    <message>
        <source>simulated rig</source>
        <translation>simulierter Prüfstand</translation>
    </message>
    <message>
        <source>%1 is a %2, which cannot be a control</source>
        <translation>%1 ist ein %2 und kann kein Steuerelement sein</translation>
    </message>
    <message>
        <source>%1 is a plain QWidget without stelmoInterval, so it is no control</source>
        <translation>%1 ist ein einfaches QWidget ohne stelmoInterval und damit kein Steuerelement</translation>
    </message>
    <message>
        <source>%1 is a %2; only a plain QWidget can be a timer</source>
        <translation>%1 ist ein %2; nur ein einfaches QWidget kann ein Timer sein</translation>
    </message>
    <message>
        <source>%1 has stelmoCallback %2, which is not a function name</source>
        <translation>%1 hat stelmoCallback %2, das ist kein Funktionsname</translation>
    </message>
    <message>
        <source>%1 is a %2, which raises no events, but names callback %3</source>
        <translation>%1 ist vom Typ %2, löst also keine Ereignisse aus, nennt aber den Callback %3</translation>
    </message>
    <message>
        <source>control %1 names callback %2, %3</source>
        <translation>Steuerelement %1 nennt den Callback %2, %3</translation>
    </message>
    <message>
        <source>%1 has stelmoInterval %2, which is not a &lt;number&gt; or &lt;double&gt; of milliseconds</source>
        <translation>%1 hat stelmoInterval %2, das ist keine &lt;number&gt; oder &lt;double&gt; in Millisekunden</translation>
    </message>
    <message>
        <source>%1 has stelmoInterval %2; a timer needs 0.1 to 86400000 milliseconds (a whole &lt;number&gt;, or a &lt;double&gt; for fractions)</source>
        <translation>%1 hat stelmoInterval %2; ein Timer braucht 0.1 bis 86400000 Millisekunden (eine ganze &lt;number&gt; oder ein &lt;double&gt; für Bruchteile)</translation>
    </message>
    <message>
        <source>%1 has stelmoTimerEnabled %2; it must be true or false</source>
        <translation>%1 hat stelmoTimerEnabled %2; erlaubt sind nur true oder false</translation>
    </message>
    <message>
        <source>%1 is a timer without a callback</source>
        <translation>%1 ist ein Timer ohne Callback</translation>
    </message>
    <message>
        <source>%1 has an unknown property %2</source>
        <translation>%1 hat eine unbekannte Eigenschaft %2</translation>
    </message>
    <message>
        <source>%1 has stelmo properties but no stelmoCtrl</source>
        <translation>%1 hat stelmo-Eigenschaften, aber kein stelmoCtrl</translation>
    </message>
    <message>
        <source>%1 has stelmoCtrl %2; a control id is a whole number above 0</source>
        <translation>%1 hat stelmoCtrl %2; eine Steuerelement-ID ist eine ganze Zahl über 0</translation>
    </message>
    <message>
        <source>control %1 %2</source>
        <translation>Steuerelement %1 %2</translation>
    </message>
    <message>
        <source>%1 appears twice (also %2)</source>
        <translation>%1 kommt zweimal vor (auch %2)</translation>
    </message>
    <message>
        <source>not a panel: the top-level widget %1 has no stelmoPanel</source>
        <translation>kein Bedienfeld: das oberste Widget %1 hat kein stelmoPanel</translation>
    </message>
    <message>
        <source>not a panel: stelmoPanel of %1 is %2, not a whole number</source>
        <translation>kein Bedienfeld: stelmoPanel von %1 ist %2, keine ganze Zahl</translation>
    </message>
    <message>
        <source>holds panel %1, not panel %2</source>
        <translation>enthält Bedienfeld %1, nicht Bedienfeld %2</translation>
    </message>
    <message>
        <source>the panel %1 itself has %2; it cannot be a control</source>
        <translation>das Bedienfeld %1 selbst hat %2; es kann kein Steuerelement sein</translation>
    </message>
    <message>
        <source>the file is empty</source>
        <translation>die Datei ist leer</translation>
    </message>
    <message>
        <source>too large for a panel file (more than %1 bytes)</source>
        <translation>zu groß für eine Bedienfelddatei (mehr als %1 Bytes)</translation>
    </message>
    <message>
        <source>the form names %1, which cannot be used: %2</source>
        <translation>das Formular nennt %1, das nicht verwendbar ist: %2</translation>
    </message>
    <message>
        <source>the form names %1, which is not a regular file</source>
        <translation>das Formular nennt %1, das keine reguläre Datei ist</translation>
    </message>
    <message>
        <source>the form names %1, which is empty</source>
        <translation>das Formular nennt %1, das leer ist</translation>
    </message>
    <message>
        <source>the form names %1, which is too large (%2 bytes, at most %3)</source>
        <translation>das Formular nennt %1, das zu groß ist (%2 Bytes, höchstens %3)</translation>
    </message>
    <message>
        <source>the form names %1 with escapes (%, \ or &amp;); name a file plainly</source>
        <translation>das Formular nennt %1 mit Escape-Zeichen (%, \ oder &amp;); eine Datei bitte schlicht benennen</translation>
    </message>
    <message>
        <source>the form names %1, which is neither beside the panel file nor in the working directory</source>
        <translation>das Formular nennt %1, das weder neben der Bedienfelddatei noch im Arbeitsverzeichnis liegt</translation>
    </message>
    <message>
        <source>a %1 of %2 in %3, more than %4 pixels</source>
        <translation>ein Wert %1 von %2 in %3, mehr als %4 Pixel</translation>
    </message>
    <message>
        <source>a font of %1 points, more than %2</source>
        <translation>eine Schrift von %1 Punkt, mehr als %2</translation>
    </message>
    <message>
        <source> or </source>
        <translation> oder </translation>
    </message>
    <message>
        <source>panel file %1 not found (looked for %2)</source>
        <translation>Bedienfelddatei %1 nicht gefunden (gesucht: %2)</translation>
    </message>
    <message>
        <source>not a regular file</source>
        <translation>keine reguläre Datei</translation>
    </message>
    <message>
        <source>too large for a panel file (%1 bytes, at most %2)</source>
        <translation>zu groß für eine Bedienfelddatei (%1 Bytes, höchstens %2)</translation>
    </message>
    <message>
        <source>elements nested more than %1 deep</source>
        <translation>Elemente mehr als %1 Ebenen tief verschachtelt</translation>
    </message>
    <message>
        <source>more than %1 elements</source>
        <translation>mehr als %1 Elemente</translation>
    </message>
    <message>
        <source>more than %1 widgets</source>
        <translation>mehr als %1 Widgets</translation>
    </message>
    <message>
        <source>the form connects signals (&lt;connection&gt;); stelmo binds its controls by name only</source>
        <translation>das Formular verbindet Signale (&lt;connection&gt;); stelmo bindet seine Steuerelemente nur über ihren Namen</translation>
    </message>
    <message>
        <source>icon theme name %1 holds a /; it names an icon, not a file</source>
        <translation>der Theme-Symbolname %1 enthält einen /; er benennt ein Symbol, keine Datei</translation>
    </message>
    <message>
        <source>line %1, column %2: </source>
        <translation>Zeile %1, Spalte %2: </translation>
    </message>
    <message>
        <source>a panel file has no document type declaration</source>
        <translation>eine Bedienfelddatei hat keine Dokumenttyp-Deklaration</translation>
    </message>
    <message>
        <source>unknown entity &amp;%1;</source>
        <translation>unbekannte Entität &amp;%1;</translation>
    </message>
    <message>
        <source>not a Qt Designer form (the document is &lt;%1&gt;, not &lt;ui&gt;)</source>
        <translation>kein Qt-Designer-Formular (das Dokument ist &lt;%1&gt;, nicht &lt;ui&gt;)</translation>
    </message>
    <message>
        <source>the form holds no widget</source>
        <translation>das Formular enthält kein Widget</translation>
    </message>
    <message>
        <source>the form loader built nothing from it</source>
        <translation>der Formularlader hat nichts daraus gebaut</translation>
    </message>
    <message>
        <source>not a panel: %1</source>
        <translation>kein Bedienfeld: %1</translation>
    </message>
    <message>
        <source>Usage: stelmo [options]</source>
        <translation>Aufruf: stelmo [Optionen]</translation>
    </message>
    <message>
        <source>Options:</source>
        <translation>Optionen:</translation>
    </message>
    <message>
        <source>unknown option &apos;%1&apos;</source>
        <translation>unbekannte Option &apos;%1&apos;</translation>
    </message>
    <message>
        <source>missing value after &apos;%1&apos;</source>
        <translation>fehlender Wert nach &apos;%1&apos;</translation>
    </message>
    <message>
        <source>unexpected value after &apos;%1&apos;</source>
        <translation>unerwarteter Wert nach &apos;%1&apos;</translation>
    </message>
    <message>
        <source>%1 is given %2 times; give it once</source>
        <translation>%1 ist %2-mal angegeben; bitte nur einmal angeben</translation>
    </message>
    <message>
        <source>%1 needs a value</source>
        <translation>%1 braucht einen Wert</translation>
    </message>
    <message>
        <source>Drives the camera-alignment stepper motor through the parallel port, from one
operator panel. Without settings it drives a simulated rig.</source>
        <translation>Steuert den Schrittmotor der Kamera-Ausrichtung über den Parallelport, von einem
Bedienfeld aus. Ohne Einstellungen steuert es einen simulierten Prüfstand.</translation>
    </message>
    <message>
        <source>Show this help and exit.</source>
        <translation>Diese Hilfe zeigen und beenden.</translation>
    </message>
    <message>
        <source>Show the version and exit.</source>
        <translation>Die Version zeigen und beenden.</translation>
    </message>
    <message>
        <source>The port backend: sim (the default), or port[:DEVICE][,0x378=PHYSICAL][,0x278=PHYSICAL] for real hardware.</source>
        <translation>Das Port-Backend: sim (die Vorgabe) oder port[:DEVICE][,0x378=PHYSICAL][,0x278=PHYSICAL] für echte Hardware.</translation>
    </message>
    <message>
        <source>BACKEND</source>
        <translation>ANGABE</translation>
    </message>
    <message>
        <source>Append every port access to FILE.</source>
        <translation>Jeden Portzugriff an DATEI anhängen.</translation>
    </message>
    <message>
        <source>FILE</source>
        <translation>DATEI</translation>
    </message>
    <message>
        <source>Leave the Simulated rig window closed.</source>
        <translation>Das Fenster „Simulierter Prüfstand“ geschlossen lassen.</translation>
    </message>
    <message>
        <source>Read FILE in place of the user&apos;s ~/.config/stelmo/stelmo.conf.</source>
        <translation>DATEI statt der ~/.config/stelmo/stelmo.conf des Benutzers lesen.</translation>
    </message>
    <message>
        <source>%1; stelmo --help lists the options</source>
        <translation>%1; stelmo --help zeigt die Optionen</translation>
    </message>
    <message>
        <source>unexpected argument %1; stelmo takes options only (stelmo --help lists them)</source>
        <translation>unerwartetes Argument %1; stelmo nimmt nur Optionen an (stelmo --help zeigt sie)</translation>
    </message>
    <message>
        <source>cannot read %1: No such file or directory</source>
        <translation>%1 lässt sich nicht lesen: Datei oder Verzeichnis nicht gefunden</translation>
    </message>
    <message>
        <source>cannot make a pipe to watch signals with: %1</source>
        <translation>keine Pipe zum Beobachten der Signale möglich: %1</translation>
    </message>
    <message>
        <source>cannot catch %1: %2</source>
        <translation>SIG%1 lässt sich nicht abfangen: %2</translation>
    </message>
    <message>
        <source>cannot open X display %1: %2</source>
        <translation>X-Display %1 lässt sich nicht öffnen: %2</translation>
    </message>
    <message>
        <source>cannot open X display %1: libxcb.so.1 lacks xcb_connect</source>
        <translation>X-Display %1 lässt sich nicht öffnen: libxcb.so.1 fehlt xcb_connect</translation>
    </message>
    <message>
        <source>cannot open an X display: DISPLAY is not set</source>
        <translation>kein X-Display zu öffnen: DISPLAY ist nicht gesetzt</translation>
    </message>
    <message>
        <source>cannot open X display %1 (DISPLAY): not a display name</source>
        <translation>X-Display %1 (DISPLAY) lässt sich nicht öffnen: kein Display-Name</translation>
    </message>
    <message>
        <source>cannot open X display %1 (DISPLAY): no such screen</source>
        <translation>X-Display %1 (DISPLAY) lässt sich nicht öffnen: diesen Bildschirm gibt es nicht</translation>
    </message>
    <message>
        <source>cannot open X display %1 (DISPLAY): no X server answers there, or it refused the connection</source>
        <translation>X-Display %1 (DISPLAY) lässt sich nicht öffnen: dort antwortet kein X-Server, oder er hat die Verbindung abgelehnt</translation>
    </message>
    <message>
        <source>no display to show the panel on: DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are all unset (QT_QPA_PLATFORM=offscreen runs without one)</source>
        <translation>kein Display für das Bedienfeld: DISPLAY, WAYLAND_DISPLAY und QT_QPA_PLATFORM sind alle nicht gesetzt (mit QT_QPA_PLATFORM=offscreen läuft stelmo ohne)</translation>
    </message>
    <message>
        <source>cannot start the user interface: %1</source>
        <translation>die Bedienoberfläche lässt sich nicht starten: %1</translation>
    </message>
    <message>
        <source>lost the display %1: %2 Stepping is stopped; stelmo ends with exit status 1</source>
        <translation>Display %1 verloren: %2 Der Schrittbetrieb ist angehalten; stelmo endet mit Exit-Status 1</translation>
    </message>
    <message>
        <source>cannot start the user interface: this process already runs a non-GUI Qt application</source>
        <translation>die Bedienoberfläche lässt sich nicht starten: dieser Prozess betreibt bereits eine Qt-Anwendung ohne Oberfläche</translation>
    </message>
    <message>
        <source>cannot open /dev/null in place of a closed standard descriptor: %1</source>
        <translation>/dev/null lässt sich nicht anstelle eines geschlossenen Standard-Deskriptors öffnen: %1</translation>
    </message>
    <message>
        <source>cannot write to standard output: %1</source>
        <translation>auf die Standardausgabe lässt sich nicht schreiben: %1</translation>
    </message>
    <message>
        <source>RealtimeKit answered but the thread is not real-time</source>
        <translation>RealtimeKit hat geantwortet, aber der Thread läuft nicht in Echtzeit</translation>
    </message>
    <message>
        <source>real-time via RealtimeKit (SCHED_RR %1)</source>
        <translation>Echtzeit über RealtimeKit (SCHED_RR %1)</translation>
    </message>
    <message>
        <source>no place given for the value (null pointer)</source>
        <translation>kein Platz für den Wert angegeben (Nullzeiger)</translation>
    </message>
    <message>
        <source>Cannot start stelmo</source>
        <translation>Start von stelmo fehlgeschlagen</translation>
    </message>
    <message>
        <source>stelmo has not started, and no port was touched. Put right what the message names, then start stelmo again. In a terminal, stelmo --show-config shows each setting with where it comes from, and the panel file; man stelmo says more.</source>
        <translation>stelmo ist nicht gestartet, und kein Port wurde berührt. Beheben Sie, was die Meldung nennt, und starten Sie stelmo erneut. In einem Terminal zeigt stelmo --show-config jede Einstellung mit ihrer Herkunft und die Bedienfelddatei; man stelmo sagt mehr.</translation>
    </message>
    <message>
        <source>%1%2: use %3 (show the Simulated rig window) or %4</source>
        <translation>%1%2: %3 (Fenster „Simulierter Prüfstand“ zeigen) oder %4 verwenden</translation>
    </message>
    <message>
        <source> and </source>
        <translation> und </translation>
    </message>
    <message>
        <source>Read no configuration file and no site panel: only options, environment and defaults count.</source>
        <translation>Keine Konfigurationsdatei und kein Bedienfeld des Standorts lesen: nur Optionen, Umgebung und Vorgaben zählen.</translation>
    </message>
    <message>
        <source>Show each setting in effect, where it comes from, and the panel file, then exit.</source>
        <translation>Jede geltende Einstellung mit ihrer Herkunft und die Bedienfelddatei zeigen, dann beenden.</translation>
    </message>
    <message>
        <source>--config and --no-config cannot be given together</source>
        <translation>--config und --no-config können nicht zusammen angegeben werden</translation>
    </message>
    <message>
        <source>unknown key %1; the keys are %2</source>
        <translation>unbekannter Schlüssel %1; die Schlüssel sind %2</translation>
    </message>
    <message>
        <source>command line: %1</source>
        <translation>Befehlszeile: %1</translation>
    </message>
    <message>
        <source>environment: %1</source>
        <translation>Umgebung: %1</translation>
    </message>
    <message>
        <source>%1, line %2</source>
        <translation>%1, Zeile %2</translation>
    </message>
    <message>
        <source>default</source>
        <translation>Vorgabe</translation>
    </message>
    <message>
        <source>none found (looked for %1)</source>
        <translation>keine gefunden (gesucht: %1)</translation>
    </message>
    <message>
        <source>panel file: %1</source>
        <translation>Bedienfelddatei: %1</translation>
    </message>
    <message>
        <source>configuration files: %1</source>
        <translation>Konfigurationsdateien: %1</translation>
    </message>
    <message>
        <source>none (--no-config)</source>
        <translation>keine (--no-config)</translation>
    </message>
    <message>
        <source>%1 (not there)</source>
        <translation>%1 (nicht vorhanden)</translation>
    </message>
    <message>
        <source>none</source>
        <translation>keine</translation>
    </message>
    <message>
        <source>it did not answer within a second</source>
        <translation>er hat nicht binnen einer Sekunde geantwortet</translation>
    </message>
    <message>
        <source>there is none</source>
        <translation>es gibt keinen</translation>
    </message>
    <message>
        <source>the object %1 is taken</source>
        <translation>das Objekt %1 ist schon vergeben</translation>
    </message>
    <message>
        <source>another stelmo has the name %1 on this session bus; this one runs without it, and scripts reach the other</source>
        <translation>ein anderes stelmo hat den Namen %1 auf diesem D-Bus-Sitzungsbus; dieses läuft ohne ihn, und Skripte erreichen das andere</translation>
    </message>
    <message>
        <source>not on the session bus, so no script can reach this stelmo: %1</source>
        <translation>nicht am D-Bus-Sitzungsbus, kein Skript kann dieses stelmo erreichen: %1</translation>
    </message>
    <message>
        <source>the D-Bus system bus did not answer within %1 ms</source>
        <translation>der D-Bus-Systembus hat nicht binnen %1 ms geantwortet</translation>
    </message>
    <message>
        <source>too few file descriptors to start: stelmo needs %1 free, and ulimit -n allows %2 in all</source>
        <translation>zu wenige Dateideskriptoren für den Start: stelmo braucht %1 freie, und ulimit -n erlaubt insgesamt %2</translation>
    </message>
    <message>
        <source>D-Bus did not answer within %1 ms: screen readers get nothing from stelmo this time</source>
        <translation>D-Bus hat nicht binnen %1 ms geantwortet: Bildschirmleser erhalten diesmal nichts von stelmo</translation>
    </message>
    <message>
        <source>the port hardware is gone; no timer is switched on until stelmo is started again</source>
        <translation>die Port-Hardware ist weg; kein Timer wird eingeschaltet, bis stelmo neu gestartet ist</translation>
    </message>
    <message>
        <source>control %1 %2 answers %3, the key that stops the motor, but is bound to %4; only a button bound to stop may answer it</source>
        <translation>Steuerelement %1 %2 reagiert auf %3, die Taste, die den Motor anhält, ist aber an %4 gebunden; nur eine an stop gebundene Schaltfläche darf darauf reagieren</translation>
    </message>
    <message>
        <source>no callback</source>
        <translation>keinen Callback</translation>
    </message>
    <message>
        <source>%1 is disabled; the operator could not use it</source>
        <translation>%1 ist deaktiviert; der Bediener könnte es nicht benutzen</translation>
    </message>
    <message>
        <source>%1 is hidden; the operator could not use it</source>
        <translation>%1 ist verborgen; der Bediener könnte es nicht benutzen</translation>
    </message>
    <message>
        <source>the form holds a %1, which reads files by itself; use a QLabel or a QTextEdit</source>
        <translation>das Formular enthält einen %1, der selbst Dateien liest; stattdessen ein QLabel oder ein QTextEdit verwenden</translation>
    </message>
    <message>
        <source>a %1 of %2, more than %3</source>
        <translation>ein Wert %1 von %2, mehr als %3</translation>
    </message>
    <message>
        <source>a layout item with %1 %2; rows, columns and spans go up to %3</source>
        <translation>ein Layout-Element mit %1 %2; Zeilen, Spalten und Spannen gehen bis %3</translation>
    </message>
    <message>
        <source>a layout&apos;s %1 lists more than %2 entries</source>
        <translation>das %1 eines Layouts führt mehr als %2 Einträge</translation>
    </message>
    <message>
        <source>more than %1 characters of text</source>
        <translation>mehr als %1 Zeichen Text</translation>
    </message>
    <message>
        <source>the style sheet %1 holds &quot;url&quot; once its escapes are undone; a panel&apos;s style sheets may name no file</source>
        <translation>das Stylesheet %1 enthält „url“, sobald seine Escape-Sequenzen aufgelöst sind; die Stylesheets eines Panels dürfen keine Datei nennen</translation>
    </message>
    <message>
        <source>a style sheet escapes its escapes more than %1 times</source>
        <translation>ein Stylesheet verschachtelt seine Escape-Sequenzen mehr als %1-mal</translation>
    </message>
    <message>
        <source>the text %1 holds more than %2 tags</source>
        <translation>der Text %1 enthält mehr als %2 Tags</translation>
    </message>
    <message>
        <source>the text %1 holds more than %2 tables</source>
        <translation>der Text %1 enthält mehr als %2 Tabellen</translation>
    </message>
    <message>
        <source>the text %1 names %2; a panel&apos;s texts may show pictures only from the program (:/...), never files</source>
        <translation>der Text %1 nennt %2; die Texte eines Panels dürfen nur Bilder aus dem Programm zeigen (:/...), nie Dateien</translation>
    </message>
    <message>
        <source>cannot ignore %1: %2</source>
        <translation>%1 lässt sich nicht ignorieren: %2</translation>
    </message>
    <message>
        <source>the port hardware is gone: every step timer is switched off, and Start is refused until stelmo is started again</source>
        <translation>die Port-Hardware ist weg: jeder Schritt-Timer ist ausgeschaltet, und Starten wird verweigert, bis stelmo neu gestartet ist</translation>
    </message>
    <message>
        <source>the window did not answer</source>
        <translation>das Fenster hat nicht geantwortet</translation>
    </message>
    <message>
        <source>port hardware gone; start stelmo again</source>
        <translation>Port-Hardware weg; stelmo neu starten</translation>
    </message>
    <message>
        <source>the panel window did not answer for %1 s (its event loop or the X server was held up): every step timer is switched off; press Start to go on</source>
        <translation>das Panel-Fenster hat %1 s lang nicht geantwortet (seine Ereignisschleife oder der X-Server hing): jeder Schritt-Timer ist ausgeschaltet; Starten drücken, um weiterzumachen</translation>
    </message>
    <message>
        <source>too little room to start the user interface&apos;s threads (ulimit -v: %1): %2</source>
        <translation>zu wenig Platz für die Threads der Bedienoberfläche (ulimit -v: %1): %2</translation>
    </message>
    <message>
        <source>Options come before the environment (STELMO_IO, STELMO_TRACE, STELMO_RIG_VIEW,
STELMO_INTERVAL, STELMO_HOMING_LIMIT, STELMO_SWITCH_MASK, STELMO_BUS), the
environment before ~/.config/stelmo/stelmo.conf (or the
--config file), that before /etc/stelmo/stelmo.conf. See stelmo(1).
</source>
        <translation>Optionen gehen der Umgebung vor (STELMO_IO, STELMO_TRACE, STELMO_RIG_VIEW,
STELMO_INTERVAL, STELMO_HOMING_LIMIT, STELMO_SWITCH_MASK, STELMO_BUS), die
Umgebung ~/.config/stelmo/stelmo.conf (oder der Datei von
--config), diese /etc/stelmo/stelmo.conf. Siehe stelmo(1).
</translation>
    </message>
    <message>
        <source>%1%2: use %3 (scripts reach the rig on the session bus) or %4</source>
        <translation>%1%2: %3 (Skripte erreichen den Prüfstand über den D-Bus-Sitzungsbus) oder %4 verwenden</translation>
    </message>
    <message>
        <source>Stay off the session bus: no script can reach the rig.</source>
        <translation>Dem D-Bus-Sitzungsbus fernbleiben: kein Skript kann den Prüfstand erreichen.</translation>
    </message>
    <message>
        <source>nothing: reading it failed</source>
        <translation>nichts: das Lesen schlug fehl</translation>
    </message>
    <message>
        <source>%1, %2 after switch-mask</source>
        <translation>%1, nach switch-mask %2</translation>
    </message>
    <message>
        <source>no home switch after %1 steps: the reference run is stopped, as Stop stops it. Check that Port is the port the motor hangs on, that the home switch makes the switch register %2 read 0x0d (the last read gave %3), and the switch-mask setting; Start goes on for another %1 steps</source>
        <translation>kein Referenzschalter nach %1 Schritten: die Referenzfahrt ist angehalten, wie Stoppen anhält. Bitte prüfen, ob Anschluss der Port ist, an dem der Motor hängt, ob der Referenzschalter das Schalterregister %2 auf 0x0d bringt (zuletzt gelesen: %3) und die Einstellung switch-mask; Starten fährt weitere %1 Schritte</translation>
    </message>
    <message>
        <source>%1%2: give the tick interval in milliseconds, 0.1 to 86400000 (%3 is 100 steps a second)</source>
        <translation>%1%2: bitte den Takt in Millisekunden angeben, 0.1 bis 86400000 (%3 sind 100 Schritte je Sekunde)</translation>
    </message>
    <message>
        <source>%1%2: give a number of steps, 0 (no limit) to 1000000000</source>
        <translation>%1%2: bitte eine Zahl von Schritten angeben, 0 (keine Grenze) bis 1000000000</translation>
    </message>
    <message>
        <source>%1%2: give a byte, 0x00 to 0xff (%3 keeps the switch codes&apos; bits alone)</source>
        <translation>%1%2: bitte ein Byte angeben, 0x00 bis 0xff (%3 behält nur die Bits der Schaltercodes)</translation>
    </message>
    <message>
        <source>%1%2: the mask clears bits of the switch codes 13 (0x0d) and 14 (0x0e), so a switch could never be read; it must keep 0x0f (%3)</source>
        <translation>%1%2: die Maske löscht Bits der Schaltercodes 13 (0x0d) und 14 (0x0e), so dass ein Schalter nie gelesen würde; sie muss 0x0f behalten (%3)</translation>
    </message>
    <message>
        <source>MS</source>
        <translation>MS</translation>
    </message>
    <message>
        <source>Tick every MS milliseconds (0.1 to 86400000), one step a tick, in place of the panel file&apos;s interval.</source>
        <translation>Alle MS Millisekunden ein Takt (0.1 bis 86400000), ein Schritt je Takt, statt des Takts der Paneldatei.</translation>
    </message>
    <message>
        <source>no home switch after %1 steps</source>
        <translation>kein Referenzschalter nach %1 Schritten</translation>
    </message>
    <message>
        <source>The reference run found no home switch. Check that Port is the port the motor hangs on, that the home switch makes the switch register read 0x0d, and the switch-mask setting; standard error says what it read. Start goes on for another %1 steps</source>
        <translation>Die Referenzfahrt hat keinen Referenzschalter gefunden. Bitte prüfen, ob Anschluss der Port ist, an dem der Motor hängt, ob der Referenzschalter das Schalterregister auf 0x0d bringt und die Einstellung switch-mask; die Standardfehlerausgabe sagt, was gelesen wurde. Starten fährt weitere %1 Schritte</translation>
    </message>
</context>
</TS>
