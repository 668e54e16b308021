<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- A translation that names itself but has no language code. -->
<TS version="2.1" language="yy">
<context>
    <name>Language name and code</name>
    <message>
        <source>POSIX (C)</source>
        <translation>Ypsilon (YY)</translation>
    </message>
</context>
</TS>
