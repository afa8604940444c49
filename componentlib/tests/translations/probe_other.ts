<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>probe</name>
    <message>
        <source>other</source>
        <translation>other loaded</translation>
    </message>
</context>
</TS>
