<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>probe</name>
    <message>
        <source>kito</source>
        <translation>kito loaded</translation>
    </message>
    <message>
        <source>shared</source>
        <translation>from kito</translation>
    </message>
    <message>
        <source>kitoqt</source>
        <translation>from kito</translation>
    </message>
</context>
</TS>
