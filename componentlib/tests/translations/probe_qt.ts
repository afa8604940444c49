<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>probe</name>
    <message>
        <source>qt</source>
        <translation>qt loaded</translation>
    </message>
    <message>
        <source>shared</source>
        <translation>from qt</translation>
    </message>
    <message>
        <source>kitoqt</source>
        <translation>from qt</translation>
    </message>
</context>
</TS>
