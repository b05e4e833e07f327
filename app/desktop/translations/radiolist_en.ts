<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>radiolist::Companion</name>
    <message numerus="yes">
        <source>%n minute(s)</source>
        <translation>
            <numerusform>%n minute</numerusform>
            <numerusform>%n minutes</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>radiolist::StationFinder</name>
    <message numerus="yes">
        <source>%n station(s) found</source>
        <translation>
            <numerusform>%n station found</numerusform>
            <numerusform>%n stations found</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>radiolist::StationIntake</name>
    <message numerus="yes">
        <source>%n past the 10,000 stations taken at a time</source>
        <translation>
            <numerusform>%n past the 10,000 stations taken at a time</numerusform>
            <numerusform>%n past the 10,000 stations taken at a time</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n not an http or https address</source>
        <translation>
            <numerusform>%n not an http or https address</numerusform>
            <numerusform>%n not http or https addresses</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n with a line break, a control character or one that shows nothing in the address</source>
        <translation>
            <numerusform>%n with a line break, a control character or one that shows nothing in the address</numerusform>
            <numerusform>%n with a line break, a control character or one that shows nothing in the address</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n with an address longer than 16 KiB</source>
        <translation>
            <numerusform>%n with an address longer than 16 KiB</numerusform>
            <numerusform>%n with addresses longer than 16 KiB</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n that would make a list file larger than the 32 MiB the program reads</source>
        <translation>
            <numerusform>%n that would make a list file larger than the 32 MiB the program reads</numerusform>
            <numerusform>%n that would make a list file larger than the 32 MiB the program reads</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n already in the list</source>
        <translation>
            <numerusform>%n already in the list</numerusform>
            <numerusform>%n already in the list</numerusform>
        </translation>
    </message>
</context>
</TS>
