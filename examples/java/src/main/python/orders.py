"""Order totals for the traceback example: a bad quantity fails two calls deep."""


def parse_quantity(text):
    return int(text)


def line_total(line):
    name, quantity, price = line
    return parse_quantity(quantity) * price


def order_total(lines):
    return sum(line_total(line) for line in lines)
