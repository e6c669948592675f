"""Interfaces that extension packages implement and the framework calls."""

from abc import ABCMeta, abstractmethod


class AbstractFrontendValidator(metaclass=ABCMeta):
    """Asked before an order is accepted or cancelled; a false answer refuses it."""

    @abstractmethod
    def can_submit_order(self, order, account=None):
        raise NotImplementedError

    @abstractmethod
    def can_cancel_order(self, order, account=None):
        raise NotImplementedError


class AbstractTransactionCostDecider(metaclass=ABCMeta):
    """Prices the commission and tax of trades and the expected cost of orders."""

    @abstractmethod
    def get_trade_commission(self, trade):
        raise NotImplementedError

    @abstractmethod
    def get_trade_tax(self, trade):
        raise NotImplementedError

    @abstractmethod
    def get_order_transaction_cost(self, order):
        raise NotImplementedError
