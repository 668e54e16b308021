<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- A translation that loads but does not name itself. -->
<TS version="2.1" language="xx">
<context>
    <name>MainWindow</name>
    <message>
        <source>Reload</source>
        <translation>Xreload</translation>
    </message>
</context>
</TS>
